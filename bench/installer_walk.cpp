// The Windows Installer root search against the same search as four walks in
// turn and against the fastest walk the same Windows calls allow.
//
//   bench_installer_walk.exe [N ...] [--pairs K]     (default: 50000 200000, 5 pairs)
//
// For each N it builds a deterministic registry of N keys below
// HKCU\Software\ZENQOBench\<pid>, shaped as a real one: a machine hive whose
// classes hold most of its keys, the running user's hive with classes of its
// own, and other users' hives (wide Classes-like fan-outs, deep vendor trees,
// Installer keys with and without UpgradeCodes, VirtualStore branches).
// HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT, HKEY_USERS and HKEY_CURRENT_USER are
// redirected to its parts, as the system lays them out. It then times the
// program's root search, the four walks of the four roots in turn, and a bare
// walker (RegOpenKeyExW and RegEnumKeyExW only) over the same four roots, in
// alternating order, and removes the tree. It prints keys visited, registry
// calls per visited key, the peak working set, and the medians of the ratios
// of whole search times.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "remover/installer/installer_roots.hpp"
#include "replay/handle.hpp"
#include "replay/registry2/key.hpp"

namespace {

constexpr wchar_t bench_parent[] = L"Software\\ZENQOBench";
// The running user's hive below the redirected HKEY_USERS.
constexpr wchar_t bench_user[] = L"S-1-5-21-7-7-7-1001";

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

    // A Classes-like tree (names from `prefix`): a wide fan-out, as
    // HKEY_CLASSES_ROOT has, thousands of siblings, some with a subkey; past
    // the first thousands, more below CLSID-like keys, no wider.
    void classes(HKEY parent, const std::wstring& prefix, std::size_t budget) {
        constexpr int width = 4000;
        const std::size_t end = std::min(target, made + budget);
        for (int group = 0; made < end; ++group) {
            replay::unique_hkey grouped;
            if (group > 0) grouped = create(parent, prefix + L"Group" + std::to_wstring(group));
            const HKEY level = group > 0 ? grouped.get() : parent;
            for (int i = 0; i < width && made < end; ++i) {
                const auto ext = create(level, prefix + std::to_wstring(i));
                if (i % 4 == 0 && made < end) create(ext.get(), group > 0 ? L"InprocServer32" : L"ShellNew");
            }
        }
    }

    // Vendor trees with Installer keys, with and without UpgradeCodes, and
    // a VirtualStore branch, which the search passes over.
    void software(HKEY parent, std::size_t budget) {
        const std::size_t saved = target;
        target = std::min(target, made + budget);
        for (int vendor_number = 0; room(); ++vendor_number) {
            const auto vendor_key = create(parent, L"Vendor" + std::to_wstring(vendor_number));
            vendor(vendor_key.get(), 6, 3, vendor_number);
            const auto installer = create(vendor_key.get(), L"Installer");
            if (vendor_number % 2 == 0) {
                const auto codes = create(installer.get(), L"UpgradeCodes");
                create(codes.get(), L"E2C3F1A6D4B970E45A8CD3E2170F9BA" + std::to_wstring(vendor_number % 10));
            }
            create(installer.get(), L"Products");
            if (vendor_number == 0) {
                const auto store = create(parent, L"VirtualStore");
                vendor(store.get(), 4, 4, vendor_number);
            }
        }
        target = saved;
    }

    // As a fresh Wine prefix has it: the machine's classes hold most keys of
    // the machine's hive, which holds most keys of the registry.
    void build(HKEY machine, HKEY users) {
        const auto machine_classes = create(machine, L"SOFTWARE\\Classes");
        classes(machine_classes.get(), L".ext", target * 72 / 100);
        const auto machine_software = create(machine, L"SOFTWARE\\Microsoft");
        software(machine_software.get(), target * 13 / 100);
        const auto user_classes = create(users, std::wstring(bench_user) + L"\\Software\\Classes");
        classes(user_classes.get(), L"User.Class", target * 2 / 100);
        const auto user_software = create(users, std::wstring(bench_user) + L"\\Software\\Maker");
        software(user_software.get(), target * 7 / 100);
        const auto others = create(users, L".DEFAULT\\Software");
        software(others.get(), target - made);
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
            replay::unique_hkey child;
            ++calls;
            if (RegOpenKeyExW(key, name, 0, KEY_READ, child.put()) != ERROR_SUCCESS) continue;
            walk(child.get());
        }
    }
};

struct sample {
    double seconds;
    std::uint64_t keys;
    std::uint64_t calls;
};

// The predefined roots in the order the search reads them.
const HKEY logical_roots[] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_USERS, HKEY_LOCAL_MACHINE};

sample time_ours() {
    remover::installer_root_search search;
    const std::uint64_t calls_before = replay::registry2::registry_calls();
    const auto begin = std::chrono::steady_clock::now();
    search.search_roots();
    const auto end = std::chrono::steady_clock::now();
    return {std::chrono::duration<double>(end - begin).count(), search.keys_visited(),
            replay::registry2::registry_calls() - calls_before};
}

// The same search as four walks, one per predefined root.
sample time_four_walks() {
    remover::installer_root_search search;
    const std::uint64_t calls_before = replay::registry2::registry_calls();
    const auto begin = std::chrono::steady_clock::now();
    const wchar_t* const names[] = {L"HKCR", L"HKCU", L"HKU", L"HKLM"};
    for (int i = 0; i < 4; ++i) search.find_installer_roots(names[i], replay::registry2::key(logical_roots[i]), 0);
    const auto end = std::chrono::steady_clock::now();
    return {std::chrono::duration<double>(end - begin).count(), search.keys_visited(),
            replay::registry2::registry_calls() - calls_before};
}

sample time_bare() {
    bare_walker walker;
    const auto begin = std::chrono::steady_clock::now();
    for (HKEY root : logical_roots) walker.walk(root);
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

// A key below `parent`, made when missing, volatile.
replay::unique_hkey volatile_key(HKEY parent, const std::wstring& path) {
    replay::unique_hkey key;
    RegCreateKeyExW(parent, path.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, key.put(), nullptr);
    return key;
}

void print(const char* label, const sample& taken) {
    std::printf(" %s %.2f s, %llu keys, %.2f calls/key |", label, taken.seconds,
                static_cast<unsigned long long>(taken.keys), static_cast<double>(taken.calls) / taken.keys);
}

void run(std::size_t keys, int pairs) {
    const std::wstring path = std::wstring(bench_parent) + L"\\" + std::to_wstring(GetCurrentProcessId());
    const auto root = volatile_key(HKEY_CURRENT_USER, path);
    const auto machine = volatile_key(root.get(), L"Machine");
    const auto users = volatile_key(root.get(), L"Users");
    if (!root || !machine || !users) {
        std::printf("cannot create HKCU\\%ls\n", path.c_str());
        return;
    }
    tree_builder builder{root.get(), keys};
    const auto built = std::chrono::steady_clock::now();
    builder.build(machine.get(), users.get());
    std::printf("N = %zu keys built in %.1f s\n", builder.made,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - built).count());
    const auto classes_root = volatile_key(machine.get(), L"SOFTWARE\\Classes");
    const auto current_user = volatile_key(users.get(), bench_user);
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, machine.get());
    RegOverridePredefKey(HKEY_USERS, users.get());
    RegOverridePredefKey(HKEY_CLASSES_ROOT, classes_root.get());
    RegOverridePredefKey(HKEY_CURRENT_USER, current_user.get());
    std::vector<double> to_four_walks, to_bare, four_walks_to_bare;
    for (int pair = 0; pair < pairs; ++pair) {
        // Alternate the order, so that no walk always has the warmer caches.
        sample ours{}, four{}, bare{};
        if (pair % 2 == 0) {
            ours = time_ours();
            four = time_four_walks();
            bare = time_bare();
        } else {
            bare = time_bare();
            four = time_four_walks();
            ours = time_ours();
        }
        to_four_walks.push_back(ours.seconds / four.seconds);
        to_bare.push_back(ours.seconds / bare.seconds);
        four_walks_to_bare.push_back(four.seconds / bare.seconds);
        std::printf("  pair %d:", pair + 1);
        print("ours", ours);
        print("four walks", four);
        print("bare", bare);
        std::printf(" ours/four walks %.3f, ours/bare %.3f\n", to_four_walks.back(), to_bare.back());
    }
    for (HKEY redirected : logical_roots) RegOverridePredefKey(redirected, nullptr);
    std::printf("  medians of %d pairs: ours/four walks %.3f, ours/bare %.3f, four walks/bare %.3f   peak working "
                "set: %.1f MiB\n",
                pairs, median(to_four_walks), median(to_bare), median(four_walks_to_bare), peak_working_set_mib());
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
