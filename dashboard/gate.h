// The dashboard's HTTP server with a gate in front of its threads.
//
// The library's accept loop hands every connection to the gate. One thread
// watches the connections (epoll) and hands one to a thread only when it
// holds a whole request, so a half-sent request or an idle keep-alive
// connection holds a descriptor, never a thread; either is closed
// kRequestSeconds after it came or after its last answer. GET /api/events
// goes to one of kMaxStreams stream threads while one is free; kWorkers
// other threads answer everything else, so open event streams never delay
// a rate change.
#pragma once

#include <httplib.h>

#include <memory>

namespace gorv::dashboard {

inline constexpr int kMaxStreams = 16;
inline constexpr int kWorkers = 4;
inline constexpr int kMaxConnections = 256;  // held at once; more are closed as they come
inline constexpr int kRequestSeconds = 5;
inline constexpr int kListenBacklog = 64;

// Whether the calling thread is a stream thread: only these may stream
// events; a stream request answered by another thread found none free.
bool on_stream_thread();

class Gate;

class GatedServer : public httplib::Server {
  public:
    GatedServer();
    ~GatedServer() override;
    GatedServer(const GatedServer&) = delete;
    GatedServer& operator=(const GatedServer&) = delete;

    // After bind_to_port: the gate's threads start, and the accept loop runs
    // in this thread for as long as the server does.
    bool serve();

    // One request of a connection that holds it whole; false when the
    // connection is to be closed.
    bool answer(int fd, std::chrono::steady_clock::time_point deadline);

  private:
    bool process_and_close_socket(socket_t sock) override;
    std::unique_ptr<Gate> gate_;
};

}  // namespace gorv::dashboard
