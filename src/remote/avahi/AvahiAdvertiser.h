#pragma once

#include "remote/SecureListener.h"

#include <memory>

namespace tovo {

// ServiceAdvertiser over the Avahi daemon (its client library, on its own thread). Without
// a reachable daemon it logs that once and publishes nothing.
std::unique_ptr<ServiceAdvertiser> makeAvahiAdvertiser();

}  // namespace tovo
