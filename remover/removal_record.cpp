#include "remover/removal_record.hpp"

namespace remover::removal_record {

namespace {

struct record {
    std::vector<std::wstring> scheduled;
    std::vector<failure> failures;
};

record& the_record() {
    static record instance;
    return instance;
}

}  // namespace

void add_scheduled(const std::wstring& path) { the_record().scheduled.push_back(path); }

void add_failure(const std::wstring& path, DWORD error) { the_record().failures.push_back(failure{path, error}); }

const std::vector<std::wstring>& scheduled() { return the_record().scheduled; }

const std::vector<failure>& failures() { return the_record().failures; }

bool restart_needed() { return !the_record().scheduled.empty(); }

void clear() { the_record() = record(); }

}  // namespace remover::removal_record
