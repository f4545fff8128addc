#include "remover/common/run_outcome.hpp"

#include <mutex>
#include <utility>

#include "replay/unicode/unicode.hpp"

namespace remover::outcome {

namespace {

struct record {
    std::mutex lock;
    std::vector<entry> entries;
    bool internal_error = false;
};

record& the_record() {
    static record instance;
    return instance;
}

// A name the ANSI code page cannot decode is kept byte for byte as Latin-1,
// so that the entry still says which object it was.
std::wstring from_ansi(const std::string& name) {
    try {
        return replay::unicode::to_wide(name, replay::unicode::ansi);
    } catch (...) {
        return std::wstring(name.begin(), name.end());
    }
}

void add(entry&& item) {
    try {
        record& r = the_record();
        const std::lock_guard<std::mutex> guard(r.lock);
        r.entries.push_back(std::move(item));
    } catch (...) {
        // Lost: the run goes on.
    }
}

entry make(kind what, std::wstring name) {
    entry item;
    item.what = what;
    item.name = std::move(name);
    return item;
}

}  // namespace

void removed(const std::wstring& name) { add(make(kind::removed, name)); }
void removed(const std::string& ansi_name) { add(make(kind::removed, from_ansi(ansi_name))); }

void removed_value(const std::wstring& key, const std::wstring& value) {
    entry item = make(kind::removed, key);
    item.value = value;
    item.has_value = true;
    add(std::move(item));
}

void scheduled(const std::wstring& name) { add(make(kind::scheduled, name)); }
void scheduled(const std::string& ansi_name) { add(make(kind::scheduled, from_ansi(ansi_name))); }

void failed(const std::wstring& name, DWORD error) {
    entry item = make(kind::failed, name);
    item.error = error;
    add(std::move(item));
}

void failed(const std::string& ansi_name, DWORD error) { failed(from_ansi(ansi_name), error); }

void failed_value(const std::wstring& key, const std::wstring& value, DWORD error) {
    entry item = make(kind::failed, key);
    item.value = value;
    item.has_value = true;
    item.error = error;
    add(std::move(item));
}

void kept(const std::wstring& name, const std::string& reason) {
    entry item = make(kind::kept, name);
    item.reason = reason;
    add(std::move(item));
}

void kept(const std::string& ansi_name, const std::string& reason) { kept(from_ansi(ansi_name), reason); }

void internal_error() {
    record& r = the_record();
    const std::lock_guard<std::mutex> guard(r.lock);
    r.internal_error = true;
}

bool completed() {
    record& r = the_record();
    const std::lock_guard<std::mutex> guard(r.lock);
    return !r.internal_error;
}

std::vector<entry> entries() {
    record& r = the_record();
    const std::lock_guard<std::mutex> guard(r.lock);
    return r.entries;
}

std::vector<entry> entries(kind what) {
    std::vector<entry> all = entries();
    std::vector<entry> some;
    for (entry& item : all) {
        if (item.what == what) some.push_back(std::move(item));
    }
    return some;
}

void clear() {
    record& r = the_record();
    const std::lock_guard<std::mutex> guard(r.lock);
    r.entries.clear();
    r.internal_error = false;
}

}  // namespace remover::outcome
