// The service role's command line.
#include "service/CommandLine.h"
#include "service/DesktopPlatform.h"

#include <gtest/gtest.h>

using namespace tovo;

TEST(CommandLine, ServiceArguments) {
    auto parsed = parseServiceArguments({"--socket", "/a/b/c.sock", "--exit-on-stdin-eof", "--remote"});
    EXPECT_FALSE(parsed.unknownArgument);
    EXPECT_EQ(parsed.options.socketPath, "/a/b/c.sock");
    EXPECT_TRUE(parsed.options.exitOnStdinEOF);
    EXPECT_EQ(parsed.options.remoteHome(), "/a/b");

    // --socket takes the next argument whatever it is.
    parsed = parseServiceArguments({"--socket", "--remote"});
    EXPECT_EQ(parsed.options.socketPath, "--remote");
    EXPECT_FALSE(parsed.options.remote);
    EXPECT_EQ(parsed.options.remoteHome(), std::nullopt);

    // The last --socket wins, and a trailing one leaves the path absent.
    EXPECT_EQ(parseServiceArguments({"--socket", "/a", "--socket", "/b"}).options.socketPath, "/b");
    EXPECT_EQ(parseServiceArguments({"--socket", "/a", "--socket"}).options.socketPath, std::nullopt);

    // The first unknown argument is reported, even after a valid prefix.
    EXPECT_EQ(parseServiceArguments({"--remote", "-v", "--bogus"}).unknownArgument, "-v");

    // --backend names the desktop platform and wins over what answers; without it, wlroots
    // is chosen where X is absent or only the compositor's Xwayland.
    EXPECT_EQ(parseServiceArguments({"--backend", "x11"}).options.backend, "x11");
    EXPECT_EQ(parseServiceArguments({"--backend"}).unknownArgument, "--backend");
    auto probe = [](bool x11, bool wlroots, bool waylandSession) {
        return [=] { return DesktopEnvironment{x11, wlroots, waylandSession}; };
    };
    EXPECT_EQ(chooseDesktopPlatform(std::nullopt, probe(true, false, false)).name, "x11");
    EXPECT_EQ(chooseDesktopPlatform(std::nullopt, probe(false, false, false)).name, "x11");
    EXPECT_EQ(chooseDesktopPlatform(std::nullopt, probe(false, true, false)).name, "wlroots");
    EXPECT_EQ(chooseDesktopPlatform(std::nullopt, probe(true, true, false)).name, "x11");
    EXPECT_EQ(chooseDesktopPlatform(std::nullopt, probe(true, true, true)).name, "wlroots");
    EXPECT_EQ(chooseDesktopPlatform("x11", probe(false, true, true)).name, "x11");
    EXPECT_EQ(chooseDesktopPlatform("wlroots", probe(true, false, false)).name, "wlroots");
    auto unknown = chooseDesktopPlatform("mir", probe(true, false, false));
    EXPECT_FALSE(unknown.name);
    EXPECT_EQ(unknown.error, "unknown backend mir (this build has x11, wlroots)");

    EXPECT_EQ(parseServiceArguments({"--remote", "--socket", "/c.sock"}).options.remoteHome(), "/");
    EXPECT_EQ(parseServiceArguments({"--remote", "--socket", "c.sock"}).options.remoteHome(), ".");
}
