// One client's connection, on any stream (a UNIX socket, a named pipe): reads request lines, has
// the server answer them one at a time, and writes each reply before reading on, so a client that
// sends faster than it reads is simply held back. Cut off after the limits in server.h.
#pragma once

#include "line_reader.h"
#include "protocol.h"
#include "server.h"

#include <asio/buffer.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include <array>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace service {

template <typename Stream>
class Session : public std::enable_shared_from_this<Session<Stream>> {
public:
    // Says who is at the other end ("user alice (uid 1000), process 4242"), as far as the system
    // tells; asked once a request has been read, which is when Windows can tell.
    using Identify = std::string (*)(Stream&);

    Session(Stream stream, Server& server, Identify identify)
        : stream_(std::move(stream)),
          server_(server),
          identify_(identify),
          deadline_(stream_.get_executor()),
          reader_(protocol::kMaxLineBytes) {}
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session() {
        if (admitted_) {
            server_.release_connection();
        }
    }

    void start() {
        admitted_ = server_.admit_connection();
        if (!admitted_) {
            finish(protocol::error_reply(
                "-", "too many connections (at most " + std::to_string(kMaxConnections) + "); try again later"));
            return;
        }
        read();
    }

private:
    void read() {
        // A line left unfinished is given less time than a quiet client between lines.
        wait_for_client(unfinished_since_ ? *unfinished_since_ + kUnfinishedLineLimit : Clock::now() + kIdleLimit);
        stream_.async_read_some(asio::buffer(buffer_),
                                [self = this->shared_from_this()](const asio::error_code& error, std::size_t size) {
                                    self->on_read(error, size);
                                });
    }

    void on_read(const asio::error_code& error, std::size_t size) {
        if (finishing_) {
            return;  // the last reply is on its way; it closes the connection
        }
        if (error) {
            close();  // the client went away, or its time ran out; a half line is dropped
            return;
        }
        const std::size_t complete_before = lines_.size();
        const bool unfinished_before = reader_.partial();
        std::vector<LineReader::Line> lines;
        reader_.feed(std::string_view(buffer_.data(), size), lines);
        for (LineReader::Line& line : lines) {
            lines_.push_back(std::move(line));
        }
        if (!reader_.partial()) {
            unfinished_since_.reset();
        } else if (!unfinished_before || lines_.size() > complete_before) {
            unfinished_since_ = Clock::now();
        }
        answer_next();
    }

    void answer_next() {
        if (lines_.empty()) {
            read();
            return;
        }
        const LineReader::Line line = std::move(lines_.front());
        lines_.pop_front();
        wait_for_client(Clock::now() + kIdleLimit);
        if (client_.empty()) {
            client_ = identify_(stream_);
        }
        server_.answer(line, client_,
                       [self = this->shared_from_this()](const std::string& reply) { self->write(reply); });
    }

    void write(const std::string& reply) {
        out_ = reply + "\n";
        writing_ = true;
        asio::async_write(stream_, asio::buffer(out_),
                          [self = this->shared_from_this()](const asio::error_code& error, std::size_t) {
                              self->writing_ = false;
                              if (error) {
                                  self->close();
                              } else {
                                  self->answer_next();
                              }
                          });
    }

    // Writes a last reply, then closes.
    void finish(const std::string& reply) {
        finishing_ = true;
        out_ = reply + "\n";
        asio::async_write(stream_, asio::buffer(out_),
                          [self = this->shared_from_this()](const asio::error_code&, std::size_t) { self->close(); });
    }

    void wait_for_client(Time until) {
        deadline_.expires_at(until);
        deadline_.async_wait([weak = this->weak_from_this()](const asio::error_code& error) {
            const auto self = weak.lock();
            if (error || !self) {
                return;
            }
            // A client that does not read its replies is not written to again.
            if (self->unfinished_since_ && !self->writing_) {
                self->finish(protocol::error_reply(
                    "-", "no end of line within " + std::to_string(kUnfinishedLineLimit.count()) + " s"));
            } else {
                self->close();
            }
        });
    }

    void close() {
        deadline_.cancel();
        asio::error_code ignored;
        stream_.close(ignored);
    }

    Stream stream_;
    Server& server_;
    Identify identify_;
    std::string client_;
    asio::steady_timer deadline_;
    LineReader reader_;
    std::array<char, 4096> buffer_{};
    std::deque<LineReader::Line> lines_;
    std::optional<Time> unfinished_since_;
    std::string out_;
    bool admitted_ = false;
    bool finishing_ = false;
    bool writing_ = false;
};

}  // namespace service
