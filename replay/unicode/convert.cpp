#include <windows.h>

#include <vector>

#include "replay/unicode/unicode.hpp"

namespace replay::unicode {

namespace {

// Code pages for which Windows accepts no conversion flags.
bool takes_no_flags(int code_page) {
    switch (code_page) {
        case 65001: case 65000: case 42: case 50221: case 50222: case 50225:
        case 50227: case 50229: case 52936: case 54936:
            return true;
        default:
            return code_page >= 57002 && code_page <= 57011;
    }
}

}  // namespace

std::wstring to_wide(const std::string& text, int code_page) {
    if (text.empty()) return std::wstring();
    if (code_page == latin1) {
        std::wstring result(text.size(), L'\0');
        for (size_t i = 0; i < text.size(); ++i) result[i] = static_cast<unsigned char>(text[i]);
        return result;
    }
    const DWORD flags = takes_no_flags(code_page) ? 0 : MB_ERR_INVALID_CHARS;
    std::vector<wchar_t> buffer(text.size());
    const int count = MultiByteToWideChar(static_cast<UINT>(code_page), flags, text.data(),
                                          static_cast<int>(text.size()), buffer.data(),
                                          static_cast<int>(buffer.size()));
    if (count == 0) {
        const DWORD error = GetLastError();
        switch (error) {
            case ERROR_INSUFFICIENT_BUFFER: throw out_of_memory("");
            case ERROR_INVALID_PARAMETER: throw invalid_codepage("");
            case ERROR_NO_UNICODE_TRANSLATION: throw unmappable_character("");
            default: throw generic("");
        }
    }
    return std::wstring(buffer.data(), static_cast<size_t>(count));
}

std::string to_narrow(const std::wstring& text, int code_page, bool strict) {
    if (text.empty()) return std::string();
    if (code_page == latin1) {
        std::string result(text.size(), '\0');
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] > 0xFF) throw unmappable_character("");
            result[i] = static_cast<char>(text[i]);
        }
        return result;
    }
    CPINFO info;
    if (!GetCPInfo(static_cast<UINT>(code_page), &info)) throw invalid_codepage("");
    std::vector<char> buffer(static_cast<size_t>(info.MaxCharSize) * text.size());
    BOOL used_default = FALSE;
    // Without WC_NO_BEST_FIT_CHARS a look-alike such as FULLWIDTH REVERSE
    // SOLIDUS would become a plain backslash and change what a name means.
    const DWORD flags = takes_no_flags(code_page) ? 0 : WC_NO_BEST_FIT_CHARS;
    const int count = WideCharToMultiByte(
        static_cast<UINT>(code_page), flags, text.data(), static_cast<int>(text.size()),
        buffer.data(), static_cast<int>(buffer.size()), /*default_char=*/nullptr,
        takes_no_flags(code_page) ? nullptr : &used_default);
    if (count == 0) {
        const DWORD error = GetLastError();
        switch (error) {
            case ERROR_INSUFFICIENT_BUFFER: throw out_of_memory("");
            case ERROR_INVALID_PARAMETER: throw unmappable_character("");
            default: throw generic("");
        }
    }
    std::string result(buffer.data(), static_cast<size_t>(count));
    if (strict) {
        if (used_default) throw unmappable_character("");
        // Only a text that converts back to itself counts as converted.
        try {
            if (to_wide(result, code_page) != text) throw unmappable_character("");
        } catch (const unmappable_character&) {
            throw;
        } catch (const generic&) {
            throw unmappable_character("");
        }
    }
    return result;
}

std::wstring from_ansi(const std::string& text) { return to_wide(text, ansi); }

std::string to_ansi(const std::wstring& text) { return to_narrow(text, ansi, /*strict=*/false); }

std::string to_ansi_strict(const std::wstring& text) { return to_narrow(text, ansi, /*strict=*/true); }

}  // namespace replay::unicode
