#include "dashboard/gate.h"

#include <netdb.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "dashboard/control.h"
#include "dashboard/request_head.h"

namespace gorv::dashboard {

using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kRequestTime = std::chrono::seconds(kRequestSeconds);
constexpr auto kWriteTime = std::chrono::seconds(kRequestSeconds);
// The library's limit of a request head (8 KiB) and more, with the largest body.
constexpr std::size_t kPeekBytes = std::size_t{16} * 1024 + kMaxBodyBytes;

thread_local bool stream_thread = false;

bool would_block() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }

// Waits until fd is ready for `events` (or has an error, which the next
// read or write reports) or the deadline passes.
bool wait_for(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd watched{.fd = fd, .events = events, .revents = 0};
        const int ready = poll(&watched, 1, left > 0 ? static_cast<int>(left) : 0);
        if (ready < 0 && errno == EINTR) continue;
        return ready > 0;
    }
}

// A connection as the library's request parser reads it: straight from the
// socket with nothing read ahead, so that a next request stays on the socket
// for the gate; reads end at the request's deadline.
class SocketStream final : public httplib::Stream {
  public:
    SocketStream(int fd, Clock::time_point deadline) : fd_(fd), deadline_(deadline) {}

    bool is_readable() const override { return wait_for(fd_, POLLIN, deadline_); }
    bool is_writable() const override {
        if (!wait_for(fd_, POLLOUT, Clock::now() + kWriteTime)) return false;
        char byte = 0;  // a reader that left reads as the end of its stream
        const ssize_t got = recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        return got > 0 || (got < 0 && would_block());
    }
    ssize_t read(char* ptr, size_t size) override {
        for (;;) {
            if (!is_readable()) return -1;
            const ssize_t got = recv(fd_, ptr, size, MSG_DONTWAIT);
            if (got < 0 && would_block()) continue;
            return got;
        }
    }
    ssize_t write(const char* ptr, size_t size) override {
        for (;;) {
            if (!wait_for(fd_, POLLOUT, Clock::now() + kWriteTime)) return -1;
            const ssize_t sent = send(fd_, ptr, size, MSG_DONTWAIT);
            if (sent < 0 && would_block()) continue;
            return sent;
        }
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override { name(getpeername, ip, port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { name(getsockname, ip, port); }
    socket_t socket() const override { return fd_; }

  private:
    void name(int (*get)(int, sockaddr*, socklen_t*), std::string& ip, int& port) const {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        char host[NI_MAXHOST] = {};
        char service[NI_MAXSERV] = {};
        if (get(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
            getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof host, service, sizeof service,
                        NI_NUMERICHOST | NI_NUMERICSERV) != 0)
            return;
        ip = host;
        port = std::atoi(service);
    }

    int fd_;
    Clock::time_point deadline_;
};

// The library calls this with each accepted connection: the gate takes it
// in the accept loop's own thread.
class InlineQueue final : public httplib::TaskQueue {
  public:
    void enqueue(std::function<void()> fn) override { fn(); }
    void shutdown() override {}
};

struct Handoff {
    int fd;
    Clock::time_point deadline;
};

class HandoffQueue {
  public:
    void push(Handoff handoff) {
        {
            std::lock_guard guard(lock_);
            items_.push_back(handoff);
        }
        ready_.notify_one();
    }
    Handoff pop() {
        std::unique_lock guard(lock_);
        ready_.wait(guard, [this] { return !items_.empty(); });
        const Handoff handoff = items_.front();
        items_.pop_front();
        return handoff;
    }

  private:
    std::mutex lock_;
    std::condition_variable ready_;
    std::deque<Handoff> items_;
};

}  // namespace

bool on_stream_thread() { return stream_thread; }

class Gate {
  public:
    explicit Gate(GatedServer& server) : server_(server) {}
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;

    bool start() {
        epoll_ = epoll_create1(EPOLL_CLOEXEC);
        wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        epoll_event event{.events = EPOLLIN, .data = {.fd = wake_}};
        if (epoll_ < 0 || wake_ < 0 || epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &event) != 0) {
            std::perror("Dashboard: epoll");
            return false;
        }
        std::thread([this] { watch(); }).detach();
        for (int i = 0; i < kWorkers; ++i) std::thread([this] { work(workers_, false); }).detach();
        for (int i = 0; i < kMaxStreams; ++i) std::thread([this] { work(streams_, true); }).detach();
        return true;
    }

    void admit_new(int fd) {
        if (open_.fetch_add(1) >= kMaxConnections) return close_connection(fd);
        wait_again(fd);
    }

  private:
    void wait_again(int fd) {
        {
            std::lock_guard guard(lock_);
            incoming_.push_back(fd);
        }
        const std::uint64_t one = 1;
        while (write(wake_, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }

    void close_connection(int fd) {
        close(fd);
        open_.fetch_sub(1);
    }

    // Edge-triggered: each time more bytes come, the connection's request is
    // looked at again (peeked, left on the socket).
    void watch() {
        std::unordered_map<int, Clock::time_point> waiting;
        std::vector<epoll_event> events(64);
        std::string peeked(kPeekBytes, '\0');
        const auto forget = [&](int fd) {
            epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
            waiting.erase(fd);
        };
        for (;;) {
            const int ready = epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), 250);
            const auto now = Clock::now();
            for (int i = 0; i < ready; ++i) {
                const int fd = events[static_cast<std::size_t>(i)].data.fd;
                if (fd == wake_) {
                    take_incoming(waiting, now);
                    continue;
                }
                const auto at = waiting.find(fd);
                if (at == waiting.end()) continue;
                const ssize_t got = recv(fd, peeked.data(), peeked.size(), MSG_PEEK | MSG_DONTWAIT);
                if (got < 0 && would_block()) continue;
                if (got <= 0) {
                    forget(fd);
                    close_connection(fd);
                    continue;
                }
                const auto size = static_cast<std::size_t>(got);
                const RequestSeen seen = inspect_request({peeked.data(), size}, kMaxBodyBytes);
                // A sender that has closed its end never makes its request whole.
                const bool ended = (events[static_cast<std::size_t>(i)].events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0;
                if (!seen.whole && ended) {
                    forget(fd);
                    close_connection(fd);
                    continue;
                }
                if (!seen.whole && size < peeked.size()) continue;
                const Handoff handoff{fd, at->second};
                forget(fd);
                hand_over(handoff, seen.event_stream);
            }
            for (auto at = waiting.begin(); at != waiting.end();) {
                if (at->second > now) {
                    ++at;
                    continue;
                }
                epoll_ctl(epoll_, EPOLL_CTL_DEL, at->first, nullptr);
                close_connection(at->first);
                at = waiting.erase(at);
            }
        }
    }

    void take_incoming(std::unordered_map<int, Clock::time_point>& waiting, Clock::time_point now) {
        std::uint64_t count = 0;
        while (read(wake_, &count, sizeof count) < 0 && errno == EINTR) {
        }
        std::vector<int> taken;
        {
            std::lock_guard guard(lock_);
            taken.swap(incoming_);
        }
        for (const int fd : taken) {
            epoll_event event{.events = EPOLLIN | EPOLLRDHUP | EPOLLET, .data = {.fd = fd}};
            if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0) {
                close_connection(fd);
                continue;
            }
            waiting[fd] = now + kRequestTime;
        }
    }

    // Only this thread takes a stream thread, and there are kMaxStreams of
    // them: a stream request that finds them all taken goes to a worker,
    // which refuses it.
    void hand_over(Handoff handoff, bool event_stream) {
        if (event_stream && streams_busy_.load() < kMaxStreams) {
            streams_busy_.fetch_add(1);
            streams_.push(handoff);
        } else {
            workers_.push(handoff);
        }
    }

    void work(HandoffQueue& queue, bool streams) {
        stream_thread = streams;
        for (;;) {
            const Handoff handoff = queue.pop();
            const bool keep = server_.answer(handoff.fd, handoff.deadline);
            if (streams) streams_busy_.fetch_sub(1);
            if (keep)
                wait_again(handoff.fd);
            else
                close_connection(handoff.fd);
        }
    }

    GatedServer& server_;
    int epoll_ = -1;
    int wake_ = -1;
    std::mutex lock_;
    std::vector<int> incoming_;
    std::atomic<int> open_{0};
    std::atomic<int> streams_busy_{0};
    HandoffQueue workers_;
    HandoffQueue streams_;
};

GatedServer::GatedServer() : gate_(std::make_unique<Gate>(*this)) {
    new_task_queue = [] { return new InlineQueue; };
}

GatedServer::~GatedServer() = default;

bool GatedServer::serve() {
    if (!gate_->start()) return false;
    // The library listens with a backlog of its own; this one is ours.
    if (::listen(svr_sock_.load(), kListenBacklog) != 0) {
        std::perror("Dashboard: listen");
        return false;
    }
    return listen_after_bind();
}

bool GatedServer::answer(int fd, Clock::time_point deadline) {
    SocketStream stream(fd, deadline);
    bool closed = false;
    try {
        return process_request(stream, false, closed, {}) && !closed;
    } catch (...) {
        return false;  // the connection goes; the server goes on
    }
}

bool GatedServer::process_and_close_socket(socket_t sock) {
    gate_->admit_new(sock);
    return true;
}

}  // namespace gorv::dashboard
