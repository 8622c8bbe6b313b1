// A Redis connection whose every exchange ends by a deadline.
#include "shared/redis_link.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kelvantor::shared_detail {

void bounded_reader::attach(redisReader* reader) noexcept {
    // hiredis's own functions (a table of its own, the same for every
    // reader), with the array constructor in front.
    static redisReplyObjectFunctions bounded = [reader] {
        redisReplyObjectFunctions functions = *reader->fn;
        functions.createArray = create_array;
        return functions;
    }();
    reader_ = reader;
    if (reader->fn != &bounded) hiredis_ = reader->fn;
    reader->fn = &bounded;
    reader->privdata = this;
}

void bounded_reader::limit(reply_limits limits) noexcept {
    bytes_left_ = limits.bytes;
    elements_left_ = limits.elements;
}

void* bounded_reader::create_array(const redisReadTask* task, int elements) {
    auto& self = *static_cast<bounded_reader*>(task->privdata);
    if (elements < 0 || static_cast<std::size_t>(elements) > self.elements_left_) {
        self.refused_ = true;
        return nullptr;  // hiredis stops with an error
    }
    self.elements_left_ -= static_cast<std::size_t>(elements);
    return self.hiredis_->createArray(task, elements);
}

bool bounded_reader::feed(const char* data, std::size_t size) noexcept {
    if (size > bytes_left_) {
        refused_ = true;
        return false;
    }
    bytes_left_ -= size;
    return redisReaderFeed(reader_, data, size) == REDIS_OK;
}

bool bounded_reader::next(redis_reply& reply) noexcept {
    void* got = nullptr;
    if (redisReaderGetReply(reader_, &got) != REDIS_OK) return false;
    reply.reset(static_cast<redisReply*>(got));
    return true;
}

bool bounded_reader::drained() const noexcept {
    // No reply begun, no byte past the cursor.
    return reader_->ridx == -1 && reader_->pos == reader_->len;
}

std::size_t bounded_reader::unread() const noexcept {
    return reader_->len - reader_->pos;
}

std::string bounded_reader::error() const {
    if (refused_) return "reply larger than asked for";
    return reader_->err != 0 ? reader_->errstr : "protocol error";
}

link_status redis_link::wait(short events, deadline by) {
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(by - std::chrono::steady_clock::now());
        const int ms = static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, 3'600'000));
        pollfd waited{context_->fd, events, 0};
        const int ready = poll(&waited, 1, ms);
        if (ready > 0) return link_status::done;
        if (ready == 0) return link_status::timeout;
        if (errno != EINTR) {
            error_ = std::strerror(errno);
            return link_status::failed;
        }
    }
}

link_status redis_link::open(const redis_endpoint& where,
                             const std::optional<std::string>& password, deadline by,
                             std::string& error) {
    context_.reset(where.unix_socket ? redisConnectUnixNonBlock(where.host.c_str())
                                     : redisConnectNonBlock(where.host.c_str(), where.port));
    auto fail = [&](link_status status, std::string what) {
        error = std::move(what);
        context_.reset();
        return status;
    };
    if (context_ == nullptr) return fail(link_status::failed, "out of memory");
    if (context_->err != 0) return fail(link_status::failed, context_->errstr);
    reader_.attach(context_->reader);
    if (const link_status connected = wait(POLLOUT, by); connected != link_status::done) {
        return fail(connected, connected == link_status::timeout ? "connect timed out" : error_);
    }
    int socket_error = 0;
    socklen_t length = sizeof socket_error;
    if (getsockopt(context_->fd, SOL_SOCKET, SO_ERROR, &socket_error, &length) != 0) {
        socket_error = errno;
    }
    if (socket_error != 0) return fail(link_status::failed, std::strerror(socket_error));
    if (!password) return link_status::done;

    const redis_command auth{"AUTH", *password};
    std::vector<redis_reply> replies;
    if (const link_status sent = exchange({&auth, 1}, replies, by); sent != link_status::done) {
        return fail(sent, sent == link_status::timeout ? "AUTH timed out" : last_error());
    }
    const redisReply& answer = *replies.front();
    if (answer.type != REDIS_REPLY_STATUS) {
        return fail(link_status::failed, answer.type == REDIS_REPLY_ERROR
                                             ? std::string(answer.str, answer.len)
                                             : "unexpected reply to AUTH");
    }
    return link_status::done;
}

link_status redis_link::receive(std::size_t room) {
    char chunk[16 << 10];
    room = std::min(sizeof chunk, room);
    for (;;) {
        const ssize_t got = ::recv(context_->fd, chunk, room, 0);
        if (got > 0) {
            if (reader_.feed(chunk, static_cast<std::size_t>(got))) return link_status::done;
            error_ = reader_.error();
            return link_status::failed;
        }
        if (got == 0) {
            error_ = "connection closed by the server";
            return link_status::failed;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) return link_status::done;
        if (errno != EINTR) {
            error_ = std::strerror(errno);
            return link_status::failed;
        }
    }
}

link_status redis_link::send(std::span<const redis_command> commands, deadline by) {
    if (context_ == nullptr) return link_status::failed;
    std::vector<const char*> words;
    std::vector<std::size_t> lengths;
    for (const redis_command& command : commands) {
        words.clear();
        lengths.clear();
        for (const std::string_view word : command) {
            words.push_back(word.data());
            lengths.push_back(word.size());
        }
        if (redisAppendCommandArgv(context_.get(), static_cast<int>(words.size()), words.data(),
                                   lengths.data()) != REDIS_OK) {
            return link_status::failed;
        }
    }
    for (int written = 0; written == 0;) {
        if (redisBufferWrite(context_.get(), &written) != REDIS_OK) return link_status::failed;
        if (written == 0) {
            if (const link_status room = wait(POLLOUT, by); room != link_status::done) return room;
        }
    }
    return link_status::done;
}

link_status redis_link::next_pushed(redis_reply& reply, deadline by, reply_limits limits) {
    reply.reset();
    if (context_ == nullptr) return link_status::failed;
    // A reply under way keeps what is left of its allowance across calls;
    // a new one counts the bytes already received after the last.
    if (!reply_begun_) {
        limits.bytes -= std::min(limits.bytes, reader_.unread());
        reader_.limit(limits);
    }
    reply_begun_ = true;
    for (;;) {
        if (!reader_.next(reply)) {
            error_ = reader_.error();
            return link_status::failed;
        }
        if (reply) {
            reply_begun_ = false;
            return link_status::done;
        }
        if (reader_.bytes_left() == 0) {
            error_ = "reply larger than asked for";
            return link_status::failed;
        }
        if (const link_status more = wait(POLLIN, by); more != link_status::done) return more;
        if (const link_status read = receive(reader_.bytes_left()); read != link_status::done) {
            return read;
        }
    }
}

link_status redis_link::exchange(std::span<const redis_command> commands,
                                 std::vector<redis_reply>& replies, deadline by,
                                 reply_limits limits) {
    replies.clear();
    if (context_ == nullptr) return link_status::failed;
    reader_.limit(limits);
    if (const link_status sent = send(commands, by); sent != link_status::done) return sent;
    while (replies.size() < commands.size()) {
        redis_reply reply;
        if (!reader_.next(reply)) {
            error_ = reader_.error();
            return link_status::failed;
        }
        if (reply) {
            replies.push_back(std::move(reply));
            continue;
        }
        if (const link_status more = wait(POLLIN, by); more != link_status::done) return more;
        // One byte more than may come, so that an excess shows.
        if (const link_status read = receive(reader_.bytes_left() + 1); read != link_status::done) {
            return read;
        }
    }
    if (!reader_.drained()) {
        error_ = "a reply nobody asked for";
        return link_status::failed;
    }
    return link_status::done;
}

bool redis_link::quiet() const {
    if (context_ == nullptr || !reader_.drained()) return false;
    char byte = 0;
    const ssize_t got = ::recv(context_->fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

link_status subscription_heartbeat::check(redis_link& link, std::string& error) {
    const auto now = std::chrono::steady_clock::now();
    if (pinged_) {
        if (now - pinged_at_ < timeout_) return link_status::done;
        error = "no answer to PING in time";
        return link_status::failed;
    }
    if (now - last_heard_ < heartbeat_quiet) return link_status::done;
    const redis_command ping{"PING"};
    pinged_ = true;
    pinged_at_ = now;
    const link_status sent = link.send({&ping, 1}, now + timeout_);
    if (sent == link_status::done) return sent;
    error = sent == link_status::timeout ? "PING timed out" : link.last_error();
    return link_status::failed;
}

void subscription_heartbeat::heard() {
    last_heard_ = std::chrono::steady_clock::now();
    pinged_ = false;
}

bool is_pong(const redisReply& reply) noexcept {
    return reply.type == REDIS_REPLY_ARRAY && reply.elements == 2 && is_text(reply.element[0]) &&
           text_of(*reply.element[0]) == "pong";
}

std::string redis_link::last_error() const {
    if (!error_.empty()) return error_;
    if (context_ != nullptr && context_->err != 0) return context_->errstr;
    return "connection failed";
}

}  // namespace kelvantor::shared_detail
