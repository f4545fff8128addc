#include "remover/common/headings.hpp"

#include "replay/log/log.hpp"

namespace remover {

namespace log = replay::log;

void step_heading(const std::string& title) {
    log::message("%s", title.c_str());
    log::message("");
}

void step_heading(const std::wstring& title) {
    log::message(L"%s", title.c_str());
    log::message("");
}

void separator() {
    log::message("%s", separator_line);
    log::message("");
}

void short_separator() {
    log::message("%s", short_separator_line);
    log::message("");
}

void part_heading(const char* title, const char* line) {
    log::message("");
    log::message("%s", title);
    log::message("%s", line);
}

}  // namespace remover
