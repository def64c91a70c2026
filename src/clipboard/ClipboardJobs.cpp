#include "clipboard/ClipboardJobs.h"

#include <fcntl.h>
#include <unistd.h>

namespace tovo {

ClipboardJobs::ClipboardJobs() {
    if (::pipe2(pipe, O_CLOEXEC | O_NONBLOCK) != 0) pipe[0] = pipe[1] = -1;
}

ClipboardJobs::~ClipboardJobs() {
    for (int fd : pipe)
        if (fd >= 0) ::close(fd);
}

bool ClipboardJobs::post(Job job) {
    {
        MutexLock guard(lock);
        if (ending) return false;
        jobs.push_back(std::move(job));
    }
    wake();
    return true;
}

bool ClipboardJobs::take(std::deque<Job>& batch) {
    MutexLock guard(lock);
    if (ending) return false;
    batch.swap(jobs);
    return true;
}

void ClipboardJobs::end() {
    {
        MutexLock guard(lock);
        ending = true;
    }
    wake();
}

void ClipboardJobs::finish() {
    std::deque<Job> left;
    {
        MutexLock guard(lock);
        left.swap(jobs);
    }
    for (auto& job : left) job(false);
}

void ClipboardJobs::wake() {
    if (pipe[1] < 0) return;
    char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(pipe[1], &byte, 1);
}

void ClipboardJobs::drainWake() {
    char bytes[64];
    while (pipe[0] >= 0 && ::read(pipe[0], bytes, sizeof bytes) > 0) {}
}

}  // namespace tovo
