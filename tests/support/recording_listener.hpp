#pragma once
// A log listener that keeps what it receives, for checking what the log
// hands to its listeners and in which order.
#include <memory>
#include <string>
#include <vector>

#include "replay/log/log.hpp"

namespace test_support {

struct received {
    std::string listener;
    int level;
    std::string prefix;
    std::string text;  // UTF-8
};

struct journal {
    std::vector<received> entries;
    std::vector<std::string> destroyed;
};

class recording_listener : public replay::log::listener {
public:
    recording_listener(std::shared_ptr<journal> into, std::string name)
        : journal_(std::move(into)), name_(std::move(name)) {}
    ~recording_listener() override { journal_->destroyed.push_back(name_); }
    void write(int level, const std::string& prefix, const std::string& text) override {
        journal_->entries.push_back({name_, level, prefix, text});
    }

private:
    std::shared_ptr<journal> journal_;
    std::string name_;
};

}  // namespace test_support
