#pragma once
// Captures what the process-wide log receives while a test runs.
#include <memory>
#include <string>
#include <vector>

#include "replay/log/log.hpp"
#include "support/recording_listener.hpp"

namespace test_support {

class log_capture {
public:
    log_capture() { replay::log::attach(std::make_unique<recording_listener>(journal_, "capture")); }
    log_capture(const log_capture&) = delete;
    log_capture& operator=(const log_capture&) = delete;
    ~log_capture() { replay::log::shutdown(); }

    std::vector<std::string> texts() const {
        std::vector<std::string> result;
        for (const auto& entry : journal_->entries) result.push_back(entry.text);
        return result;
    }
    void clear() { journal_->entries.clear(); }

private:
    std::shared_ptr<journal> journal_ = std::make_shared<journal>();
};

}  // namespace test_support
