// The Windows Installer root search against the fastest walk the same
// Windows calls allow.
//
//   bench_installer_walk.exe [N ...] [--pairs K]     (default: 50000 200000, 5 pairs)
//
// For each N it builds a deterministic tree of N keys below
// HKCU\Software\ZENQOBench\<pid> (wide Classes-like fan-outs, deep vendor
// trees, Installer keys with and without UpgradeCodes, VirtualStore
// branches), then times the program's own root search and a bare walker
// (RegOpenKeyExW and RegEnumKeyExW only) over it in alternating pairs, and
// removes the tree. It prints keys visited, keys per second, registry calls
// per visited key, the peak working set, and the median of the pair ratios.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "remover/installer_database.hpp"
#include "replay/handle.hpp"
#include "replay/registry2/key.hpp"

namespace {

constexpr wchar_t bench_parent[] = L"Software\\ZENQOBench";

struct tree_builder {
    HKEY root;
    std::size_t target;
    std::size_t made = 0;

    bool room() const { return made < target; }

    replay::unique_hkey create(HKEY parent, const std::wstring& name) {
        replay::unique_hkey key;
        // Volatile: the tree never reaches the registry files on disk.
        if (RegCreateKeyExW(parent, name.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, key.put(),
                            nullptr) ==
            ERROR_SUCCESS) {
            ++made;
        }
        return key;
    }

    // A vendor tree: `depth` levels, `fan` children each.
    void vendor(HKEY parent, int depth, int fan, unsigned seed) {
        for (int i = 0; i < fan && room(); ++i) {
            const auto key = create(parent, L"Node" + std::to_wstring((seed * 7 + i) % 1000));
            if (depth > 1) vendor(key.get(), depth - 1, fan, seed + i + 1);
        }
    }

    void build() {
        unsigned round = 0;
        while (room()) {
            const auto classes = create(root, L"Classes" + std::to_wstring(round));
            // A wide fan-out, as HKEY_CLASSES_ROOT has: thousands of siblings.
            for (int i = 0; i < 4000 && room(); ++i) {
                const auto ext = create(classes.get(), L".ext" + std::to_wstring(i));
                if (i % 4 == 0 && room()) create(ext.get(), L"ShellNew");
            }
            if (!room()) break;
            const auto software = create(root, L"Software" + std::to_wstring(round));
            for (int vendor_number = 0; vendor_number < 20 && room(); ++vendor_number) {
                const auto vendor_key = create(software.get(), L"Vendor" + std::to_wstring(vendor_number));
                vendor(vendor_key.get(), 6, 3, vendor_number);
                // Installer keys with and without UpgradeCodes.
                const auto installer = create(vendor_key.get(), L"Installer");
                if (vendor_number % 2 == 0) {
                    const auto codes = create(installer.get(), L"UpgradeCodes");
                    create(codes.get(), L"E2C3F1A6D4B970E45A8CD3E2170F9BA" + std::to_wstring(vendor_number % 10));
                }
                create(installer.get(), L"Products");
            }
            // A VirtualStore branch, which the search passes over.
            const auto store = create(root, L"VirtualStore" + std::to_wstring(round));
            const auto virtual_store = create(store.get(), L"VirtualStore");
            vendor(virtual_store.get(), 4, 4, round);
            ++round;
        }
    }
};

// The fastest walk: open each subkey, enumerate its names, descend.
struct bare_walker {
    std::uint64_t keys = 0;
    std::uint64_t calls = 0;

    void walk(HKEY key) {
        ++keys;
        wchar_t name[MAX_PATH + 1];
        for (DWORD index = 0;; ++index) {
            DWORD length = MAX_PATH + 1;
            ++calls;
            if (RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
            HKEY child = nullptr;
            ++calls;
            if (RegOpenKeyExW(key, name, 0, KEY_READ, &child) != ERROR_SUCCESS) continue;
            walk(child);
            RegCloseKey(child);
        }
    }
};

struct sample {
    double seconds;
    std::uint64_t keys;
    std::uint64_t calls;
};

sample time_ours(HKEY root) {
    const replay::registry2::key start(root);
    remover::installer_database_cleaner cleaner;
    const std::uint64_t calls_before = replay::registry2::registry_calls();
    const auto begin = std::chrono::steady_clock::now();
    cleaner.find_installer_roots(L"HKCU\\Software\\ZENQOBench", start, 0);
    const auto end = std::chrono::steady_clock::now();
    return {std::chrono::duration<double>(end - begin).count(), cleaner.keys_visited(),
            replay::registry2::registry_calls() - calls_before};
}

sample time_bare(HKEY root) {
    bare_walker walker;
    const auto begin = std::chrono::steady_clock::now();
    walker.walk(root);
    const auto end = std::chrono::steady_clock::now();
    return {std::chrono::duration<double>(end - begin).count(), walker.keys, walker.calls};
}

double peak_working_set_mib() {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return static_cast<double>(counters.PeakWorkingSetSize) / (1024.0 * 1024.0);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

void run(std::size_t keys, int pairs) {
    const std::wstring path = std::wstring(bench_parent) + L"\\" + std::to_wstring(GetCurrentProcessId());
    replay::unique_hkey root;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr,
                        root.put(), nullptr) != ERROR_SUCCESS) {
        std::printf("cannot create HKCU\\%ls\n", path.c_str());
        return;
    }
    tree_builder builder{root.get(), keys};
    const auto built = std::chrono::steady_clock::now();
    builder.build();
    std::printf("N = %zu keys built in %.1f s\n", builder.made,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - built).count());
    std::vector<double> ratios;
    for (int pair = 0; pair < pairs; ++pair) {
        // Alternate which walk goes first, so that neither always has the
        // warmer caches.
        sample ours{}, bare{};
        if (pair % 2 == 0) {
            ours = time_ours(root.get());
            bare = time_bare(root.get());
        } else {
            bare = time_bare(root.get());
            ours = time_ours(root.get());
        }
        // Time per visited key: the search passes over VirtualStore branches
        // and the inside of Installer keys, which the bare walker enters.
        ratios.push_back((ours.seconds / ours.keys) / (bare.seconds / bare.keys));
        std::printf("  pair %d: ours %.2f s, %llu keys, %.0f keys/s, %.2f calls/key | bare %.2f s, %llu keys, "
                    "%.0f keys/s, %.2f calls/key | ratio %.3f\n",
                    pair + 1, ours.seconds, static_cast<unsigned long long>(ours.keys), ours.keys / ours.seconds,
                    static_cast<double>(ours.calls) / ours.keys, bare.seconds,
                    static_cast<unsigned long long>(bare.keys), bare.keys / bare.seconds,
                    static_cast<double>(bare.calls) / bare.keys, ratios.back());
    }
    std::printf("  median ratio ours/bare (time per key): %.3f   peak working set: %.1f MiB\n", median(ratios),
                peak_working_set_mib());
    root.reset();
    RegDeleteTreeW(HKEY_CURRENT_USER, path.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, path.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, bench_parent);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::size_t> sizes;
    int pairs = 5;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--pairs") == 0 && i + 1 < argc) {
            pairs = std::atoi(argv[++i]);
        } else {
            sizes.push_back(static_cast<std::size_t>(std::strtoull(argv[i], nullptr, 10)));
        }
    }
    if (sizes.empty()) sizes = {50000, 200000};
    for (std::size_t keys : sizes) run(keys, pairs);
    return 0;
}
