#include "app/LoginItem.h"

#include "app/AppError.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace tovo {

LoginItem::LoginItem(std::string executable, std::string userHome, std::string autostartDirectory, std::string home)
    : executable(std::move(executable)),
      userHome(std::move(userHome)),
      directory(std::move(autostartDirectory)),
      offeredMark(std::move(home) + "/login-item-offered") {}

bool LoginItem::eligible() const {
    auto parent = std::filesystem::path(executable).parent_path().string();
    return parent == "/usr/bin" || parent == "/usr/local/bin" || executable.rfind("/opt/", 0) == 0 ||
           parent == userHome + "/.local/bin";
}

bool LoginItem::enabled() const { return ::access(entryPath().c_str(), F_OK) == 0; }

void LoginItem::set(bool on) const {
    const std::string path = entryPath();
    if (!on) {
        if (::unlink(path.c_str()) != 0 && errno != ENOENT)
            throw AppError("cannot remove " + path + ": " + std::strerror(errno));
        return;
    }
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    if (error) throw AppError("cannot create " + directory + ": " + error.message());
    const std::string temporary = path + ".new";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << "[Desktop Entry]\nType=Application\nName=Tovo Control\nComment=Lets a program or a paired phone see and "
               "operate this desktop\nExec=\""
            << executable << "\" --app\nIcon=tovo-control\nTerminal=false\nX-GNOME-Autostart-enabled=true\n";
        if (!out.flush()) throw AppError("cannot write " + temporary);
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0)
        throw AppError("cannot write " + path + ": " + std::strerror(errno));
}

void LoginItem::registerOnFirstRun(const LogFile& log) const {
    if (!eligible() || ::access(offeredMark.c_str(), F_OK) == 0) return;
    std::ofstream(offeredMark) << "1\n";
    try {
        set(true);
        log.write("registered as a login item");
    } catch (const AppError& error) {
        log.write(std::string("cannot register as a login item: ") + error.what());
    }
}

}  // namespace tovo
