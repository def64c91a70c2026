// The tray-app role: paths, one instance per home, the log, then the controller over the
// GTK face and GLib's main loop until the user quits or a signal arrives.
#include "app/TovoApp.h"

#include "app/AppController.h"
#include "app/AppError.h"
#include "app/InstanceLock.h"
#include "app/gtk/GtkApp.h"
#include "app/openssl/UpdateCrypto.h"
#include "base/Language.h"
#include "base/Text.h"
#include "http/ServerIdentity.h"

#include <glib-unix.h>
#include <pwd.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdlib>
#include <iostream>

namespace tovo::TovoApp {
namespace {

std::string userHome() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* entry = ::getpwuid(::getuid())) return entry->pw_dir;
    return "/";
}

std::string executablePath(const char* fallback) {
    char path[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n > 0) return std::string(path, static_cast<size_t>(n));
    return fallback;
}

std::string setting(const char* name, const char* builtIn) {
    const char* value = std::getenv(name);
    return value && *value ? value : builtIn;
}

}  // namespace

bool isAppLaunch(const std::vector<std::string>& arguments) {
    return arguments.empty() || (arguments.size() == 1 && arguments[0] == "--app");
}

void run() {
    auto environment = [](const char* name) -> const char* { return std::getenv(name); };
    const std::string home = userHome();
    AppPaths paths = AppPaths::resolve(environment, home);
    try {
        paths.prepare();
    } catch (const std::exception& error) {
        std::cerr << "tovo-control: " << error.what() << "\n";
        std::exit(1);
    }
    static LogFile log(paths.logPath());
    try {
        auto outcome = InstanceLock::acquire(paths.lockPath());
        if (!outcome.lock) {
            std::string holder = outcome.holder ? " (pid " + std::to_string(*outcome.holder) + ")" : "";
            log.write("Tovo Control already runs for " + paths.home + holder + "; exiting");
            // Whoever started this one from a terminal learns it too.
            std::cerr << "tovo-control: Tovo Control already runs" << holder
                      << "; its tray icon is the one to use (log: " << paths.logPath() << ")\n";
            std::exit(0);
        }
    } catch (const AppError& error) {
        log.write(error.what());
        std::exit(1);
    }
    if (!initGtk()) {
        log.write("no display to show the tray icon on (is DISPLAY set?)");
        std::exit(1);
    }
    // A service that goes away mid-write must not end the app.
    std::signal(SIGPIPE, SIG_IGN);

    const std::string executable = executablePath("tovo-control");
    auto loop = makeGLibLoop();
    auto ui = makeGtkAppUI();
    auto launcher = makePosixChildLauncher();
    ServiceSupervisor supervisor(executable, paths.socketPath(), log, *loop, *launcher);
    StatusMonitor monitor(StatusMonitor::over(paths.socketPath()), *loop,
                          std::make_shared<SerialTaskQueue>("tovo-control-app.status"));
    const char* configDirectory = std::getenv("XDG_CONFIG_HOME");
    LoginItem loginItem(
        executable, home,
        (configDirectory && *configDirectory == '/' ? std::string(configDirectory) : home + "/.config") + "/autostart",
        paths.home);

    bool relaunching = false;
    Updater::Settings updates;
    updates.feed = setting("TOVO_UPDATE_FEED", TOVO_UPDATE_FEED);
    updates.publicKey = base64Decode(setting("TOVO_UPDATE_KEY", TOVO_UPDATE_KEY)).value_or("");
    updates.executable = executable;
    updates.currentVersion = ServerIdentity::version();
    updates.versionOf = ServerIdentity::embeddedVersion;
    Updater updater(updates, log, *loop, std::make_shared<SerialTaskQueue>("tovo-control-app.updates"),
                    openSSLDownloader(), openSSLSignatureCheck(), [&] {
                        relaunching = true;
                        loop->quit();
                    });

    AppController controller({paths, log, *loop, *ui, supervisor, monitor, updater, loginItem,
                              StatusMonitor::over(paths.socketPath()),
                              std::make_shared<SerialTaskQueue>("tovo-control-app.remote"),
                              Texts{prefersChinese(environment)}, ServerIdentity::version(), ServerIdentity::build()});
    for (int number : {SIGTERM, SIGINT}) {
        g_unix_signal_add(
            number,
            [](gpointer data) -> gboolean {
                static_cast<GLibLoop*>(data)->quit();
                return G_SOURCE_CONTINUE;
            },
            loop.get());
    }
    controller.start();
    loop->run();
    controller.shutdown();
    if (relaunching) {
        log.write("relaunching " + executable);
        ::execl(executable.c_str(), executable.c_str(), "--app", static_cast<char*>(nullptr));
        log.write(std::string("cannot relaunch: ") + std::strerror(errno));
    }
    std::exit(0);
}

}  // namespace tovo::TovoApp
