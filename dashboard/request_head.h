// What the bytes that a connection has sent so far say about its request,
// read without taking them off the socket.
//
// A request is whole when it holds its head up to the empty line and as many
// body bytes as its Content-Length says, or a chunked body up to its last
// chunk. A head whose Content-Length is not a number, or larger than
// max_body, makes the request whole at once: the server refuses it from the
// head alone.
#pragma once

#include <cstddef>
#include <string_view>

namespace gorv::dashboard {

struct RequestSeen {
    bool whole = false;
    bool event_stream = false;  // GET /api/events
};

RequestSeen inspect_request(std::string_view bytes, std::size_t max_body);

}  // namespace gorv::dashboard
