#pragma once

#include "http/Connection.h"
#include "http/HTTPRequest.h"

namespace tovo {

// GET /stream: a live H.264/HEVC picture stream of one display as a multipart response.
void stream(HTTPRequest& request, Connection& connection);
// POST /stream/ack: a client's acknowledgement (and report) for its open stream.
void streamAck(HTTPRequest& request, Connection& connection);

}  // namespace tovo
