#pragma once

#include <string>
#include <vector>

namespace tovo::mcp {

// `tovo-control mcp [--socket PATH] [--http 127.0.0.1:PORT]`: an MCP server on standard input
// and output (one JSON-RPC message a line), or on MCP's Streamable HTTP transport on a
// loopback port, whose tools operate this desktop through the service at PATH (default
// $TOVO_HOME/screen.sock, else ~/.local/share/tovo-control/screen.sock). When no service
// answers there it starts one as its child (on a private headless desktop when there is no
// display) and stops it on exit. With --http it serves until SIGINT or SIGTERM. Returns the
// exit code.
int runMcp(const std::vector<std::string>& arguments, const std::string& executable);

// True for the arguments of that role.
bool isMcpLaunch(const std::vector<std::string>& arguments);

}  // namespace tovo::mcp
