// One client's connection, on any stream (a UNIX socket, a named pipe): reads request lines, has
// the server answer them one at a time, and writes each reply before reading on, so a client that
// sends faster than it reads is simply held back. Cut off after the protocol's limits. After
// `watch` it only writes events, and reads on only to learn when the client goes.
#pragma once

#include "connections.h"
#include "line_log.h"
#include "line_reader.h"
#include "protocol_limits.h"
#include "reply.h"
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
class Session final : public Connections::Member, public std::enable_shared_from_this<Session<Stream>> {
public:
    // Who is at the other end, as the system tells; none when it cannot tell, and the client is
    // then not served.
    using Identify = std::optional<Client> (*)(Stream&);

    Session(Stream stream, Server& server, Identify identify)
        : stream_(std::move(stream)),
          server_(server),
          identify_(identify),
          deadline_(stream_.get_executor()),
          reader_(protocol::kMaxLineBytes) {}
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void start() {
        const std::optional<Client> client = identify_(stream_);
        if (!client) {
            finish(line_of(protocol::error_reply("-", "the system does not say who you are")));
            return;
        }
        client_ = *client;
        std::string refusal;
        if (!server_.connections().admit(this->shared_from_this(), client_, refusal)) {
            finish(line_of(protocol::error_reply("-", refusal)));
            return;
        }
        read();
    }

    void reply(Line line) override {
        out_ = std::move(line);
        server_.replying(client_.owner.id, out_->size());
        asio::async_write(stream_, asio::buffer(*out_),
                          [self = this->shared_from_this()](const asio::error_code& error, std::size_t) {
                              if (error) {
                                  self->close();
                              } else {
                                  self->answer_next();
                              }
                          });
    }

    void start_watching(Line ok) override {
        watching_ = true;
        deadline_.cancel();  // a watcher asks nothing more, and waits as long as it likes
        deliver(std::move(ok));
        if (!reading_) {
            read();  // to learn when it goes
        }
    }

    void deliver(Line line) override {
        if (queued_bytes_ + line->size() > protocol::kMaxQueuedEventBytes) {
            server_.rationed_log().log(client_.owner.who() + "'s watchers",
                                       client_.description + ": a watcher that reads nothing is cut off, " +
                                           std::to_string(queued_bytes_) + " bytes of events unread");
            close();
            return;
        }
        queued_bytes_ += line->size();
        queued_.push_back(std::move(line));
        if (queued_.size() == 1) {
            write_queued();
        }
    }

    void close() override {
        deadline_.cancel();
        asio::error_code ignored;
        stream_.close(ignored);
        server_.connections().remove(this);
    }

private:
    void read() {
        reading_ = true;
        if (!watching_) {
            // A line left unfinished is given less time than a quiet client between lines: a
            // client that trickles a line out a byte at a time holds a connection and a line's
            // buffer, and is cut off in seconds rather than a minute.
            wait_for_client(unfinished_since_ ? *unfinished_since_ + protocol::kUnfinishedLineLimit
                                              : Clock::now() + protocol::kIdleLimit);
        }
        stream_.async_read_some(asio::buffer(buffer_),
                                [self = this->shared_from_this()](const asio::error_code& error, std::size_t size) {
                                    self->on_read(error, size);
                                });
    }

    void on_read(const asio::error_code& error, std::size_t size) {
        reading_ = false;
        if (finishing_) {
            return;  // the last reply is on its way; it closes the connection
        }
        if (error) {
            close();  // the client went away, or its time ran out; a half line is dropped
            return;
        }
        if (watching_) {
            read();  // what a watcher sends is not read as requests
            return;
        }
        const std::size_t complete_before = lines_.size();
        const bool unfinished_before = reader_.partial();
        std::vector<protocol::LineReader::Line> lines;
        reader_.feed(std::string_view(buffer_.data(), size), lines);
        for (protocol::LineReader::Line& line : lines) {
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
        if (watching_) {
            return;  // lines after watch are not answered
        }
        if (lines_.empty()) {
            // The time spent answering was the service's: a line left unfinished meanwhile gets
            // its whole allowance from now.
            if (unfinished_since_) {
                unfinished_since_ = Clock::now();
            }
            read();
            return;
        }
        protocol::LineReader::Line line = std::move(lines_.front());
        lines_.pop_front();
        // A client that does not read its replies is not written to again.
        wait_for_client(Clock::now() + protocol::kIdleLimit);
        server_.answer(std::move(line), client_, this->shared_from_this());
    }

    void write_queued() {
        asio::async_write(stream_, asio::buffer(*queued_.front()),
                          [self = this->shared_from_this()](const asio::error_code& error, std::size_t) {
                              self->queued_bytes_ -= self->queued_.front()->size();
                              self->queued_.pop_front();
                              if (error) {
                                  self->close();
                              } else if (!self->queued_.empty()) {
                                  self->write_queued();
                              }
                          });
    }

    // Writes a last reply, then closes.
    void finish(Line reply) {
        finishing_ = true;
        out_ = std::move(reply);
        asio::async_write(stream_, asio::buffer(*out_),
                          [self = this->shared_from_this()](const asio::error_code&, std::size_t) { self->close(); });
    }

    void wait_for_client(Time until) {
        deadline_.expires_at(until);
        deadline_.async_wait([weak = this->weak_from_this()](const asio::error_code& error) {
            const auto self = weak.lock();
            if (error || !self || self->watching_) {
                return;
            }
            if (self->reading_ && self->reader_.partial()) {
                self->finish(line_of(protocol::error_reply(
                    "-", "no end of line within " + std::to_string(protocol::kUnfinishedLineLimit.count()) + " s")));
            } else {
                self->close();
            }
        });
    }

    Stream stream_;
    Server& server_;
    Identify identify_;
    Client client_;
    asio::steady_timer deadline_;
    protocol::LineReader reader_;
    std::array<char, 4096> buffer_{};
    std::deque<protocol::LineReader::Line> lines_;
    std::optional<Time> unfinished_since_;  // since when the client has owed the end of a line
    Line out_;                              // the reply being written
    std::deque<Line> queued_;               // a watcher's events, the first being written
    std::size_t queued_bytes_ = 0;
    bool reading_ = false;
    bool finishing_ = false;
    bool watching_ = false;
};

}  // namespace service
