#pragma once

#include "http/HTTPServer.h"

#include <string>

namespace tovo {
class ScreenService;
}

namespace tovo::Lifecycle {

// Keeps a C copy of the socket path for signal handlers and exit paths, ignores SIGPIPE,
// and makes SIGTERM and SIGINT remove the socket file and end the process with code 0.
// Call once, on the main thread, before other threads exist.
void install(const std::string& socketPath);

// Names the socket file this process bound. Until then, and whenever the file at the path
// is another one (a later instance's), exit paths leave the path alone.
void ownSocket(HTTPServer::SocketFile file);

// Starts a thread that ends the process with code 0 (after removing the socket file) when
// standard input reaches end of file.
void watchStdin();

// Makes a dead listener end the process with code 1, and a deaf audio capture with code 75
// (the supervisor then starts a fresh process), after removing the socket file.
void installFatalHooks(ScreenService& service);

// Removes the socket file (if installed) and ends the process with `code`. Callable from
// any thread; exit handlers and static destructors do not run.
[[noreturn]] void exitRemovingSocket(int code);

}  // namespace tovo::Lifecycle
