#pragma once

#include "support/Paths.h"
#include "support/ServiceProcess.h"
#include "support/VirtualDesktop.h"

namespace tovo::test {

// The service under test on the shared private desktop, listening (a failed expectation
// otherwise).
struct DesktopService : ServiceProcess {
    explicit DesktopService(Process::Options options = {})
        : ServiceProcess(binary, VirtualDesktop::shared().display(), std::move(options)) {
        EXPECT_TRUE(ready()) << process->output();
    }
};

}  // namespace tovo::test
