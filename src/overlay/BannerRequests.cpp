#include "overlay/BannerRequests.h"

#include <sys/eventfd.h>
#include <unistd.h>

namespace tovo {

BannerRequests::BannerRequests() : fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

BannerRequests::~BannerRequests() {
    if (fd >= 0) ::close(fd);
}

void BannerRequests::want(std::optional<std::string> text) {
    {
        MutexLock guard(lock);
        wanted = std::move(text);
        ++generation;
    }
    wake();
}

void BannerRequests::end() {
    {
        MutexLock guard(lock);
        ending = true;
    }
    wake();
}

BannerRequests::Taken BannerRequests::take() {
    MutexLock guard(lock);
    Taken taken;
    taken.ending = ending;
    taken.changed = generation != applied;
    applied = generation;
    taken.text = wanted;
    return taken;
}

void BannerRequests::wake() {
    uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(fd, &one, sizeof one);
}

void BannerRequests::drainWake() {
    uint64_t count;
    [[maybe_unused]] auto got = ::read(fd, &count, sizeof count);
}

}  // namespace tovo
