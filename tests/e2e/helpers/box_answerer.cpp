// box_answerer: watches the Wine prefix it runs in for message boxes of other
// processes, writes one JSON line per box to a file and answers each box by
// its caption.
//
//   box_answerer.exe --out FILE [--timeout SECONDS] [--stop-file FILE]
//                    [--default ANSWER] [--poll-ms N] [CAPTION=ANSWER ...]
//
// ANSWER is one of IDOK IDCANCEL IDABORT IDRETRY IDIGNORE IDYES IDNO
// IDTRYAGAIN IDCONTINUE, or NONE (record the box, leave it open). A rule
// applies when the caption equals CAPTION exactly; the text after the last
// '=' is the answer, so a caption may itself contain '='. Boxes without a
// rule get the default answer (IDOK unless --default says otherwise).
//
// Each line of the output file is a UTF-8 JSON object:
//   {"ms":412,"caption":"...","text":"...","buttons":[1],"icon":false,
//    "answer":"IDOK"}
// "buttons" lists the ids of the box's visible push buttons, "icon" tells
// whether the box shows an icon, "ms" counts from the start of the helper.
// Lines are written as soon as a box is seen, before it is answered, so the
// file is complete even when the helper is ended from outside.
//
// It answers the log submission's e-mail prompt (top-level windows of class
// "InputBox") too: each --prompt ACTION answers one prompt, in order; ACTION
// is "ok:TEXT" (type TEXT into the edit box, then press "Ok"), "cancel",
// "close" (the window's close command) or "none" (leave it open). Prompts
// beyond the list are cancelled. Each prompt gives a line
//   {"ms":..,"prompt":{"class":"InputBox","text":"...","x":..,"y":..,"w":..,
//    "h":..,"style":..,"exstyle":..,"screen":[W,H],"controls":[{"id":..,"class":"...",
//    "text":"...","x":..,"y":..,"w":..,"h":..,"style":..},...]},
//    "answer":"ok:TEXT"}
// with the frame in screen coordinates and the controls in the frame's
// client coordinates.
//
// The helper stops when the stop file exists or the time limit (default 120
// seconds) has passed; it exits with 0, or 2 on a command-line error.
#include <windows.h>

#include "helper_output.hpp"

#include <cstdio>
#include <cwchar>
#include <iterator>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

// MessageBox dialogs are top-level windows of this class.
constexpr wchar_t dialog_class[] = L"#32770";
// The log submission's e-mail prompt.
constexpr wchar_t prompt_class[] = L"InputBox";
constexpr int prompt_edit_id = 101;
// Control ids inside a message box: the static text and, in Wine as in
// Windows, the icon.
constexpr int text_control_id = 0xFFFF;
constexpr int icon_control_id = 0x0440;
// WM_GETTEXT goes to another process; a hung box must not hang the helper.
constexpr UINT send_timeout_ms = 1000;

struct answer_name {
    const wchar_t* name;
    int id;  // 0: leave the box open
};

constexpr answer_name answers[] = {
    {L"IDOK", IDOK},         {L"IDCANCEL", IDCANCEL}, {L"IDABORT", IDABORT},
    {L"IDRETRY", IDRETRY},   {L"IDIGNORE", IDIGNORE}, {L"IDYES", IDYES},
    {L"IDNO", IDNO},         {L"IDTRYAGAIN", IDTRYAGAIN},
    {L"IDCONTINUE", IDCONTINUE}, {L"NONE", 0},
};

// The buttons a message box can carry, in id order.
constexpr int button_ids[] = {IDOK,     IDCANCEL, IDABORT,    IDRETRY,   IDIGNORE,
                              IDYES,    IDNO,     IDTRYAGAIN, IDCONTINUE, IDHELP};

using helper::file_handle;

const answer_name* find_answer(const std::wstring& name) {
    for (const auto& a : answers)
        if (name == a.name) return &a;
    return nullptr;
}

struct rule {
    std::wstring caption;
    const answer_name* answer;
};

struct options {
    std::wstring out;
    std::wstring stop_file;
    DWORD timeout_ms = 120 * 1000;
    DWORD poll_ms = 50;
    const answer_name* default_answer = find_answer(L"IDOK");
    std::vector<rule> rules;
    std::vector<std::wstring> prompt_actions;
};

using helper::json_string;
using helper::to_utf8;

// The text of a window of another process. WM_GETTEXT is marshalled across
// processes; GetWindowTextW alone would only give the stored window name.
std::wstring window_text(HWND window) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, send_timeout_ms,
                             &length))
        return {};
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                             SMTO_ABORTIFHUNG, send_timeout_ms, &copied))
        return {};
    text.resize(wcsnlen(text.c_str(), text.size()));
    return text;
}

bool visible_child(HWND box, int id) {
    const HWND child = GetDlgItem(box, id);
    return child != nullptr && IsWindowVisible(child);
}

// Wine keeps the icon control of a box without icon; only the icon that it
// holds tells the two apart.
bool has_icon(HWND box) {
    const HWND control = GetDlgItem(box, icon_control_id);
    DWORD_PTR icon = 0;
    return control != nullptr && IsWindowVisible(control) &&
           SendMessageTimeoutW(control, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, send_timeout_ms,
                               &icon) &&
           icon != 0;
}

bool parse_options(int argc, wchar_t** argv, options& opts) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == L"--out" && has_value) {
            opts.out = argv[++i];
        } else if (arg == L"--stop-file" && has_value) {
            opts.stop_file = argv[++i];
        } else if (arg == L"--timeout" && has_value) {
            opts.timeout_ms = static_cast<DWORD>(_wtof(argv[++i]) * 1000.0);
        } else if (arg == L"--poll-ms" && has_value) {
            opts.poll_ms = static_cast<DWORD>(_wtoi(argv[++i]));
        } else if (arg == L"--prompt" && has_value) {
            const std::wstring action = argv[++i];
            if (action != L"cancel" && action != L"close" && action != L"none" &&
                action.rfind(L"ok:", 0) != 0) {
                std::fwprintf(stderr, L"box_answerer: unknown prompt action %ls\n", action.c_str());
                return false;
            }
            opts.prompt_actions.push_back(action);
        } else if (arg == L"--default" && has_value) {
            opts.default_answer = find_answer(argv[++i]);
            if (!opts.default_answer) {
                std::fwprintf(stderr, L"box_answerer: unknown answer %ls\n", argv[i]);
                return false;
            }
        } else if (arg.rfind(L"--", 0) != 0 && arg.find(L'=') != std::wstring::npos) {
            const size_t eq = arg.rfind(L'=');
            const answer_name* answer = find_answer(arg.substr(eq + 1));
            if (!answer) {
                std::fwprintf(stderr, L"box_answerer: unknown answer in rule %ls\n", arg.c_str());
                return false;
            }
            opts.rules.push_back({arg.substr(0, eq), answer});
        } else {
            std::fwprintf(stderr, L"box_answerer: unexpected argument %ls\n", arg.c_str());
            return false;
        }
    }
    if (opts.out.empty()) {
        std::fwprintf(stderr, L"box_answerer: --out FILE is required\n");
        return false;
    }
    return true;
}

std::wstring class_of(HWND window) {
    wchar_t class_name[64] = {};
    GetClassNameW(window, class_name, static_cast<int>(std::size(class_name)));
    return class_name;
}

struct found_windows {
    std::vector<HWND> boxes;
    std::vector<HWND> prompts;
};

BOOL CALLBACK collect_windows(HWND window, LPARAM param) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == GetCurrentProcessId() || !IsWindowVisible(window)) return TRUE;
    auto* found = reinterpret_cast<found_windows*>(param);
    const std::wstring name = class_of(window);
    if (name == dialog_class) found->boxes.push_back(window);
    if (name == prompt_class) found->prompts.push_back(window);
    return TRUE;
}

std::string json_geometry(HWND window, HWND client_of) {
    RECT rect{};
    GetWindowRect(window, &rect);
    if (client_of) MapWindowPoints(nullptr, client_of, reinterpret_cast<POINT*>(&rect), 2);
    return "\"x\":" + std::to_string(rect.left) + ",\"y\":" + std::to_string(rect.top) +
           ",\"w\":" + std::to_string(rect.right - rect.left) +
           ",\"h\":" + std::to_string(rect.bottom - rect.top) +
           ",\"style\":" + std::to_string(static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE)));
}

BOOL CALLBACK collect_children(HWND child, LPARAM param) {
    reinterpret_cast<std::vector<HWND>*>(param)->push_back(child);
    return TRUE;
}

// Records one prompt with its controls, then answers it.
std::string answer_prompt(HWND prompt, const std::wstring& action) {
    std::string line = "\"prompt\":{\"class\":" + json_string(class_of(prompt)) +
                       ",\"text\":" + json_string(window_text(prompt)) + "," +
                       json_geometry(prompt, nullptr) + ",\"exstyle\":" +
                       std::to_string(static_cast<DWORD>(GetWindowLongW(prompt, GWL_EXSTYLE))) +
                       ",\"screen\":[" + std::to_string(GetSystemMetrics(SM_CXSCREEN)) + "," +
                       std::to_string(GetSystemMetrics(SM_CYSCREEN)) + "],\"controls\":[";
    std::vector<HWND> children;
    EnumChildWindows(prompt, collect_children, reinterpret_cast<LPARAM>(&children));
    for (size_t i = 0; i < children.size(); ++i) {
        if (i) line += ',';
        line += "{\"id\":" + std::to_string(GetDlgCtrlID(children[i])) +
                ",\"class\":" + json_string(class_of(children[i])) +
                ",\"text\":" + json_string(window_text(children[i])) + "," +
                json_geometry(children[i], prompt) + "}";
    }
    line += "]},\"answer\":" + json_string(action);
    if (action.rfind(L"ok:", 0) == 0) {
        const std::wstring text = action.substr(3);
        DWORD_PTR ignored = 0;
        SendMessageTimeoutW(GetDlgItem(prompt, prompt_edit_id), WM_SETTEXT, 0,
                            reinterpret_cast<LPARAM>(text.c_str()), SMTO_ABORTIFHUNG,
                            send_timeout_ms, &ignored);
        PostMessageW(prompt, WM_COMMAND, IDOK, 0);
    } else if (action == L"cancel") {
        PostMessageW(prompt, WM_COMMAND, IDCANCEL, 0);
    } else if (action == L"close") {
        PostMessageW(prompt, WM_CLOSE, 0, 0);
    }
    return line;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    options opts;
    if (!parse_options(argc, argv, opts)) return 2;

    // Shared for reading: the harness reads the file while the helper runs.
    file_handle out(CreateFileW(opts.out.c_str(), FILE_APPEND_DATA,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out.valid()) {
        const DWORD error = GetLastError();
        std::fwprintf(stderr, L"box_answerer: cannot open %ls (error %lu)\n", opts.out.c_str(),
                      error);
        return 2;
    }

    const ULONGLONG start = GetTickCount64();
    // A box keeps its handle until it is destroyed; one that is left open
    // (NONE) or answered slowly must be recorded once only.
    std::set<HWND> seen;
    size_t next_prompt = 0;
    for (;;) {
        if (!opts.stop_file.empty() &&
            GetFileAttributesW(opts.stop_file.c_str()) != INVALID_FILE_ATTRIBUTES)
            break;
        if (GetTickCount64() - start >= opts.timeout_ms) break;

        for (auto it = seen.begin(); it != seen.end();)
            it = IsWindow(*it) ? std::next(it) : seen.erase(it);

        found_windows found;
        EnumWindows(collect_windows, reinterpret_cast<LPARAM>(&found));
        for (const HWND prompt : found.prompts) {
            if (!seen.insert(prompt).second) continue;
            const std::wstring action = next_prompt < opts.prompt_actions.size()
                                            ? opts.prompt_actions[next_prompt++]
                                            : std::wstring(L"cancel");
            const std::string line = "{\"ms\":" + std::to_string(GetTickCount64() - start) + "," +
                                     answer_prompt(prompt, action) + "}\n";
            DWORD written = 0;
            WriteFile(out.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        }
        for (const HWND box : found.boxes) {
            if (!seen.insert(box).second) continue;
            const std::wstring caption = window_text(box);
            const HWND text_control = GetDlgItem(box, text_control_id);
            const std::wstring text = text_control ? window_text(text_control) : std::wstring();

            const answer_name* answer = opts.default_answer;
            for (const auto& r : opts.rules)
                if (r.caption == caption) answer = r.answer;

            std::string line = "{\"ms\":" + std::to_string(GetTickCount64() - start) +
                               ",\"caption\":" + json_string(caption) +
                               ",\"text\":" + json_string(text) + ",\"buttons\":[";
            bool first = true;
            for (const int id : button_ids) {
                if (!visible_child(box, id)) continue;
                if (!first) line += ',';
                line += std::to_string(id);
                first = false;
            }
            line += "],\"icon\":";
            line += has_icon(box) ? "true" : "false";
            line += ",\"answer\":" + json_string(answer->name) + "}\n";
            DWORD written = 0;
            WriteFile(out.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);

            if (answer->id != 0)
                PostMessageW(box, WM_COMMAND, MAKEWPARAM(answer->id, BN_CLICKED), 0);
        }
        Sleep(opts.poll_ms);
    }
    return 0;
}
