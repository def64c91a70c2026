#pragma once

#include "app/LogFile.h"

#include <string>

namespace tovo {

// The login item: an XDG autostart entry that starts the app with the session. Offered once,
// and only for an installed executable (in /usr/bin, /usr/local/bin, under /opt or in
// ~/.local/bin), so that a build folder never registers itself.
class LoginItem {
public:
    // `autostartDirectory` is $XDG_CONFIG_HOME/autostart (~/.config/autostart); `home` is
    // the app's home, where the offer is remembered.
    LoginItem(std::string executable, std::string userHome, std::string autostartDirectory, std::string home);

    bool eligible() const;
    bool enabled() const;
    // Writes or removes the entry. Throws AppError.
    void set(bool on) const;
    // The first run of an installed app registers it and remembers the offer.
    void registerOnFirstRun(const LogFile& log) const;

    std::string entryPath() const { return directory + "/tovo-control.desktop"; }

private:
    const std::string executable;
    const std::string userHome;
    const std::string directory;
    const std::string offeredMark;
};

}  // namespace tovo
