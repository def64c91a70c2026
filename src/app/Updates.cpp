#include "app/Updates.h"

#include "app/AppError.h"
#include "base/Json.h"
#include "base/TaskQueue.h"
#include "base/Text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tovo {

bool UpdateInstallGate::shouldInstall(bool busy, double now) {
    if (busy) {
        quietSince.reset();
        return false;
    }
    if (!quietSince) quietSince = now;
    return now - *quietSince >= quietFor;
}

bool Updater::newer(const std::string& candidate, const std::string& current) {
    auto numbers = [](const std::string& v) {
        std::vector<long> out;
        for (auto part : splitOn(v, '.')) {
            auto n = parseDecimalInteger(part);
            out.push_back(n && *n >= 0 ? static_cast<long>(*n) : -1);
        }
        return out;
    };
    auto a = numbers(candidate), b = numbers(current);
    for (size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
        long x = i < a.size() ? a[i] : 0, y = i < b.size() ? b[i] : 0;
        if (x < 0) return false;  // not a version number
        if (x != y) return x > y;
    }
    return false;
}

Updater::Updater(Settings settings, const LogFile& log, AppLoop& loop, std::shared_ptr<TaskQueue> queue,
                 Downloader download, SignatureCheck verify, std::function<void()> relaunch)
    : settings(std::move(settings)),
      log(log),
      loop(loop),
      queue(std::move(queue)),
      download(std::move(download)),
      verify(std::move(verify)),
      relaunch(std::move(relaunch)) {}

Updater::~Updater() {
    if (timer) loop.cancel(*timer);
}

void Updater::start() {
    if (settings.feed.empty()) {
        log.write("updates off (no update feed configured)");
        return;
    }
    if (settings.publicKey.size() != 32) {
        log.write("updates off (no valid update signing key configured)");
        return;
    }
    on = true;
    std::weak_ptr<Updater*> weak = self;
    timer = loop.every(6 * 3600.0, [weak] {
        if (auto s = weak.lock()) (*s)->checkNow();
    });
    checkNow();
}

void Updater::checkNow() {
    if (!on || checking || pending) return;
    checking = true;
    std::weak_ptr<Updater*> weak = self;
    AppLoop* mainLoop = &loop;
    queue->post([weak, mainLoop, settings = settings, download = download, verify = verify, &log = log] {
        std::optional<std::string> version, staged;
        try {
            auto feed = parseJson(download(settings.feed));
            if (!feed || !feed->is_object() || !(*feed)["version"].is_string() || !(*feed)["url"].is_string() ||
                !(*feed)["signature"].is_string()) {
                throw AppError("the feed is not {\"version\", \"url\", \"signature\"}");
            }
            std::string offered = (*feed)["version"];
            if (!newer(offered, settings.currentVersion)) {
                log.write("update: " + settings.currentVersion + " is current (the feed offers " + offered + ")");
            } else {
                std::string release = download((*feed)["url"].get<std::string>());
                auto signature = base64Decode((*feed)["signature"].get<std::string>());
                if (!signature || !verify(release, *signature, settings.publicKey)) {
                    throw AppError("the signature of " + offered + " does not verify; nothing installed");
                }
                const std::optional<std::string> carried =
                    settings.versionOf ? settings.versionOf(release) : std::nullopt;
                if (!carried)
                    throw AppError("the release offered as " + offered + " carries no version; nothing installed");
                if (*carried != offered) {
                    throw AppError("the signed release offered as " + offered + " is " + *carried +
                                   "; nothing installed");
                }
                if (!newer(*carried, settings.currentVersion)) {
                    throw AppError("the signed release " + *carried + " is not newer than " + settings.currentVersion +
                                   "; nothing installed");
                }
                // Beside the executable, so that installing is one rename on one file system.
                std::string path = settings.executable + ".update";
                int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
                if (fd < 0) throw AppError("cannot write " + path + ": " + std::strerror(errno));
                bool written = ::write(fd, release.data(), release.size()) == static_cast<ssize_t>(release.size()) &&
                               ::fsync(fd) == 0;
                ::close(fd);
                if (!written) {
                    ::unlink(path.c_str());
                    throw AppError("cannot write " + path);
                }
                version = offered;
                staged = path;
            }
        } catch (const std::exception& error) {
            log.write(std::string("update: ") + error.what());
        }
        mainLoop->post([weak, version, staged] {
            auto s = weak.lock();
            if (!s) return;
            (*s)->checking = false;
            if (version && staged) (*s)->downloaded(*version, *staged);
        });
    });
}

void Updater::downloaded(const std::string& version, const std::string& file) {
    pending = version;
    staged = file;
    gate.quietSince.reset();
    log.write("update: " + version +
              " downloaded; installs after 120 s with no phone connected or pairing and no automation");
}

void Updater::statusChanged(bool busy) {
    if (!pending || !gate.shouldInstall(busy, loop.now())) return;
    log.write("update: installing " + *pending + " now that the computer is quiet; the app relaunches");
    pending.reset();
    if (::rename(staged.c_str(), settings.executable.c_str()) != 0) {
        log.write("update: cannot replace " + settings.executable + ": " + std::strerror(errno));
        ::unlink(staged.c_str());
        return;
    }
    relaunch();
}

}  // namespace tovo
