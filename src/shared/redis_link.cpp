// A Redis connection whose every exchange ends by a deadline.
#include "shared/redis_link.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kelvantor::shared_detail {

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

link_status redis_link::exchange(std::span<const redis_command> commands,
                                 std::vector<redis_reply>& replies, deadline by) {
    replies.clear();
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
    while (replies.size() < commands.size()) {
        void* reply = nullptr;
        if (redisGetReplyFromReader(context_.get(), &reply) != REDIS_OK) return link_status::failed;
        if (reply != nullptr) {
            replies.emplace_back(static_cast<redisReply*>(reply));
            continue;
        }
        if (const link_status more = wait(POLLIN, by); more != link_status::done) return more;
        if (redisBufferRead(context_.get()) != REDIS_OK) return link_status::failed;
    }
    return link_status::done;
}

std::string redis_link::last_error() const {
    if (context_ != nullptr && context_->err != 0) return context_->errstr;
    return error_.empty() ? "connection failed" : error_;
}

}  // namespace kelvantor::shared_detail
