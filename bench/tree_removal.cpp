// The program's link-safe tree removal against the fastest deletion the same
// Windows calls allow.
//
//   bench_tree_removal.exe [wide|deep ...] [--pairs K] [--settle S]
//                                  (default: wide deep, 5 pairs, 40 s)
//
// wide: 20,000 files of 200 bytes in 200 folders (10 folders of 19
// subfolders, 100 files in each folder), as a product's data folder holds.
// deep: a chain of 100 folders with 10 files in each, whose paths grow to
// about 2,800 characters, far beyond 260.
// It builds the tree twice for each pair below the temporary folder, waits S
// seconds so that the system has written every copy to disk (a product's files
// are on disk long before they are removed; a file still waiting to be written
// goes faster, which would favour the copy built last), then removes one copy
// of each pair with remover::remove_tree and the other with a bare deleter
// (FindFirstFileW, DeleteFileW and RemoveDirectoryW only), alternating which
// goes first. It prints entries removed, entries per second and the median of
// the pair ratios (time of ours ÷ time of the bare deleter).
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "remover/safe_delete/safe_delete.hpp"
#include "replay/handle.hpp"

namespace {

// Which tree a run builds.
struct shape {
    const char* name;
    bool deep;
};

constexpr int wide_top_folders = 10;
constexpr int wide_subfolders = 19;
constexpr int wide_files_per_folder = 100;
constexpr int deep_levels = 100;
constexpr int deep_files_per_level = 10;
constexpr DWORD file_size = 200;

struct tree_builder {
    std::uint64_t entries = 0;
    bool failed = false;

    void folder(const std::wstring& path) {
        if (!CreateDirectoryW(path.c_str(), nullptr)) failed = true;
        ++entries;
    }

    void files(const std::wstring& folder, int count) {
        static const std::string content(file_size, 'z');
        for (int i = 0; i < count; ++i) {
            const std::wstring path = folder + L"\\data-" + std::to_wstring(i) + L".bin";
            replay::file_handle file(
                CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
            DWORD written = 0;
            if (!file || !WriteFile(file.get(), content.data(), file_size, &written, nullptr)) failed = true;
            ++entries;
        }
    }

    // root is in extended-length form.
    void build(const std::wstring& root, bool deep) {
        folder(root);
        if (deep) {
            std::wstring path = root;
            for (int level = 0; level < deep_levels; ++level) {
                path += L"\\level-" + std::to_wstring(level) + L"-abcdefghijklmnopqrst";
                folder(path);
                files(path, deep_files_per_level);
            }
            return;
        }
        for (int top = 0; top < wide_top_folders; ++top) {
            const std::wstring top_path = root + L"\\module-" + std::to_wstring(top);
            folder(top_path);
            files(top_path, wide_files_per_folder);
            for (int sub = 0; sub < wide_subfolders; ++sub) {
                const std::wstring sub_path = top_path + L"\\cache-" + std::to_wstring(sub);
                folder(sub_path);
                files(sub_path, wide_files_per_folder);
            }
        }
    }
};

// The fastest deletion: list a folder, delete its files, empty its folders,
// remove it. No link is checked.
struct bare_deleter {
    std::uint64_t entries = 0;
    bool failed = false;

    void remove(const std::wstring& folder) {
        WIN32_FIND_DATAW entry;
        {
            replay::find_handle search(FindFirstFileW((folder + L"\\*").c_str(), &entry));
            if (search) {
                do {
                    if (std::wcscmp(entry.cFileName, L".") == 0 || std::wcscmp(entry.cFileName, L"..") == 0) continue;
                    const std::wstring path = folder + L"\\" + entry.cFileName;
                    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                        remove(path);
                    } else if (DeleteFileW(path.c_str())) {
                        ++entries;
                    } else {
                        failed = true;
                    }
                } while (FindNextFileW(search.get(), &entry));
            }
        }
        if (RemoveDirectoryW(folder.c_str())) {
            ++entries;
        } else {
            failed = true;
        }
    }
};

struct sample {
    double seconds;
    std::uint64_t entries;
    bool complete;
};

bool gone(const std::wstring& path) { return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES; }

sample time_ours(const std::wstring& root, const std::string& shown) {
    const auto begin = std::chrono::steady_clock::now();
    std::uint64_t entries = 0;
    bool complete = true;
    try {
        entries = remover::remove_tree(shown);
    } catch (const remover::filesystem_error& e) {
        std::printf("  ours failed: %s\n", e.message().c_str());
        complete = false;
    }
    const auto end = std::chrono::steady_clock::now();
    return {std::chrono::duration<double>(end - begin).count(), entries, complete && gone(root)};
}

sample time_bare(const std::wstring& root) {
    bare_deleter deleter;
    const auto begin = std::chrono::steady_clock::now();
    deleter.remove(root);
    const auto end = std::chrono::steady_clock::now();
    return {std::chrono::duration<double>(end - begin).count(), deleter.entries, !deleter.failed && gone(root)};
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

bool run(const shape& tree, int pairs, int settle_seconds) {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring base = std::wstring(temp) + L"zenqo-bench-" + std::to_wstring(GetCurrentProcessId());
    std::vector<std::uint64_t> built_entries;
    const auto build_start = std::chrono::steady_clock::now();
    for (int pair = 0; pair < pairs; ++pair) {
        for (const wchar_t* side : {L"-ours-", L"-bare-"}) {
            tree_builder builder;
            builder.build(L"\\\\?\\" + base + side + std::to_wstring(pair), tree.deep);
            if (builder.failed) {
                std::printf("cannot build the %s tree below %ls\n", tree.name, temp);
                return false;
            }
            built_entries.push_back(builder.entries);
        }
    }
    std::printf("%s: %llu entries, built %d times in %.1f s; settling %d s\n", tree.name,
                static_cast<unsigned long long>(built_entries.front()), 2 * pairs,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - build_start).count(),
                settle_seconds);
    Sleep(static_cast<DWORD>(settle_seconds) * 1000);
    std::vector<double> ratios;
    bool all_complete = true;
    for (int pair = 0; pair < pairs; ++pair) {
        const std::wstring ours_root = base + L"-ours-" + std::to_wstring(pair);
        const std::wstring bare_root = base + L"-bare-" + std::to_wstring(pair);
        // remove_tree takes a path in the ANSI code page; the temporary
        // folder's path is plain ASCII under Wine and on a default Windows.
        const std::string ours_shown(ours_root.begin(), ours_root.end());
        // Alternate which deletion goes first, so that neither always meets
        // the warmer caches.
        sample ours{}, bare{};
        if (pair % 2 == 0) {
            ours = time_ours(L"\\\\?\\" + ours_root, ours_shown);
            bare = time_bare(L"\\\\?\\" + bare_root);
        } else {
            bare = time_bare(L"\\\\?\\" + bare_root);
            ours = time_ours(L"\\\\?\\" + ours_root, ours_shown);
        }
        const bool complete = ours.complete && bare.complete && ours.entries == built_entries[2 * pair] &&
                              bare.entries == built_entries[2 * pair + 1];
        all_complete = all_complete && complete;
        ratios.push_back(ours.seconds / bare.seconds);
        std::printf("  pair %d: ours %.2f s, %llu entries, %.0f entries/s | bare %.2f s, %llu entries, "
                    "%.0f entries/s | ratio %.3f%s\n",
                    pair + 1, ours.seconds, static_cast<unsigned long long>(ours.entries),
                    ours.entries / ours.seconds, bare.seconds, static_cast<unsigned long long>(bare.entries),
                    bare.entries / bare.seconds, ratios.back(), complete ? "" : "  INCOMPLETE");
    }
    std::printf("  median ratio ours/bare: %.3f\n", median(ratios));
    return all_complete;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<shape> trees;
    int pairs = 5;
    int settle_seconds = 40;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--pairs") == 0 && i + 1 < argc) {
            pairs = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--settle") == 0 && i + 1 < argc) {
            settle_seconds = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "wide") == 0) {
            trees.push_back({"wide", false});
        } else if (std::strcmp(argv[i], "deep") == 0) {
            trees.push_back({"deep", true});
        } else {
            std::printf("usage: bench_tree_removal [wide|deep ...] [--pairs K] [--settle S]\n");
            return 2;
        }
    }
    if (trees.empty()) trees = {{"wide", false}, {"deep", true}};
    bool complete = true;
    for (const shape& tree : trees) complete = run(tree, pairs, settle_seconds) && complete;
    return complete ? 0 : 1;
}
