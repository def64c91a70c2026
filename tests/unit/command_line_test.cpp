// The service role's command line.
#include "service/CommandLine.h"

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

    EXPECT_EQ(parseServiceArguments({"--remote", "--socket", "/c.sock"}).options.remoteHome(), "/");
    EXPECT_EQ(parseServiceArguments({"--remote", "--socket", "c.sock"}).options.remoteHome(), ".");
}

