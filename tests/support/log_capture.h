// Captures what the program logs, for assertions in tests.  While a
// log_capture lives, every log_msg() lands here instead of in syslog.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace kelvantor::testing {

struct log_line {
    int priority;
    std::string text;
};

class log_capture {
public:
    log_capture();
    ~log_capture();
    log_capture(const log_capture&) = delete;
    log_capture& operator=(const log_capture&) = delete;

    std::vector<log_line> lines() const;
    // True when a line with exactly this priority and text was logged.
    bool contains(int priority, const std::string& text) const;
    // Number of lines whose text equals text, at any priority.
    int count(const std::string& text) const;
    // Waits (bounded) until such a line is logged; for messages from other threads.
    bool wait_for(int priority, const std::string& text,
                  std::chrono::milliseconds bound = std::chrono::seconds(10)) const;
    void clear();
    // All lines, one per row as "<priority> <text>", for failure messages.
    std::string dump() const;
};

}  // namespace kelvantor::testing
