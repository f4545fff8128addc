#include "remover/services/services.hpp"

#include <windows.h>
#include <winsvc.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "replay/handle.hpp"
#include "support/emulation.hpp"
#include "support/own_program.hpp"
#include "support/sleeper.hpp"
#include "support/log_capture.hpp"
#include "support/machine_override.hpp"
#include "support/scratch_key.hpp"
#include "support/temp_folder.hpp"

namespace {

using lines = std::vector<std::string>;
using test_support::key_absent;
using test_support::key_exists;

#ifdef _WIN64
constexpr char service_program[] = "test_service_x86_64.exe";
#else
constexpr char service_program[] = "test_service_i686.exe";
#endif

// Every service and entry the tests make is named with this prefix and the
// run's tag, so that leftovers of a crashed run can be told from live ones.
constexpr wchar_t test_service_prefix[] = L"ZqTestSvc-";

// Longest time the tests wait for the manager or a process to catch up.
constexpr DWORD settle_ms = 10000;

std::string ascii(const std::wstring& text) { return std::string(text.begin(), text.end()); }

using test_support::own_folder;
using test_support::own_path;

// "<process id>-<process start time>-<counter>": unique to this run.
std::string unique_tag() {
    static unsigned counter = 0;
    return ascii(test_support::process_tag(GetCurrentProcessId())) + "-" + std::to_string(++counter);
}

std::wstring services_entry_w(const std::string& name) {
    return std::wstring(remover::services_key_path) + L"\\" + std::wstring(name.begin(), name.end());
}

replay::service_handle open_manager() {
    return replay::service_handle(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
}

// The error with which the manager refuses to open a service, or
// ERROR_SUCCESS when it opens it.
DWORD open_service_error(const std::string& name) {
    const replay::service_handle manager = open_manager();
    if (!manager) return GetLastError();
    const replay::service_handle service(OpenServiceA(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
    return service ? ERROR_SUCCESS : GetLastError();
}

// The manager no longer knows the service and its registry entry is gone.
// The manager removes a deleted service once its last handle is closed,
// which may take it a moment.
::testing::AssertionResult service_gone(const std::string& name) {
    const DWORD start = GetTickCount();
    DWORD error = open_service_error(name);
    while (error != ERROR_SERVICE_DOES_NOT_EXIST && GetTickCount() - start < settle_ms) {
        Sleep(100);
        error = open_service_error(name);
    }
    if (error != ERROR_SERVICE_DOES_NOT_EXIST) {
        return ::testing::AssertionFailure() << "OpenService for " << name << " gives " << error << ", not 1060";
    }
    const ::testing::AssertionResult key = key_absent(HKEY_LOCAL_MACHINE, services_entry_w(name));
    if (!key) return ::testing::AssertionFailure() << "the entry of " << name << " is still there: " << key.message();
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult process_ended(DWORD process_id) {
    replay::process_handle process(OpenProcess(SYNCHRONIZE, /*inherit=*/FALSE, process_id));
    if (!process) return ::testing::AssertionSuccess();
    if (WaitForSingleObject(process.get(), settle_ms) == WAIT_OBJECT_0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "process " << process_id << " still runs";
}

void terminate_process(DWORD process_id) {
    replay::process_handle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, /*inherit=*/FALSE, process_id));
    if (!process) return;
    TerminateProcess(process.get(), 1);
    WaitForSingleObject(process.get(), settle_ms);
}

DWORD service_process_id(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                              &needed)) {
        return 0;
    }
    return status.dwProcessId;
}

// Ends the service's process, if any, and deletes the service; an entry that
// the manager does not know is deleted from the registry directly.
void remove_test_service(const std::wstring& name) {
    const replay::service_handle manager = open_manager();
    replay::service_handle service(
        manager ? OpenServiceW(manager.get(), name.c_str(), SERVICE_ALL_ACCESS) : nullptr);
    if (service) {
        if (const DWORD process_id = service_process_id(service.get())) terminate_process(process_id);
        DeleteService(service.get());
        return;
    }
    if (GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST) return;
    replay::unique_hkey services;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, remover::services_key_path, 0, KEY_ALL_ACCESS, services.put()) ==
        ERROR_SUCCESS) {
        test_support::delete_tree(services.get(), name, 0);
    }
}

// Removes the services and entries that runs which no longer live left behind.
void sweep_stale_services() {
    replay::unique_hkey services;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, remover::services_key_path, 0, KEY_READ, services.put()) !=
        ERROR_SUCCESS) {
        return;
    }
    std::vector<std::wstring> stale;
    const std::wstring prefix = test_service_prefix;
    for (DWORD index = 0;; ++index) {
        wchar_t child[MAX_PATH + 1];
        DWORD length = MAX_PATH + 1;
        if (RegEnumKeyExW(services.get(), index, child, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        const std::wstring name(child, length);
        if (name.compare(0, prefix.size(), prefix) == 0 &&
            !test_support::owner_is_running(name.substr(prefix.size()))) {
            stale.push_back(name);
        }
    }
    services.reset();
    for (const std::wstring& name : stale) remove_test_service(name);
}

using test_support::sleeper;

// The test service installed under a name of its own, from a copy of its
// program with a name of its own (so that a search by image finds only it).
class test_service {
public:
    test_service(const test_support::temp_folder& folder, const std::string& arguments)
        : tag_(unique_tag()),
          name_(ascii(test_service_prefix) + tag_),
          display_name_("Zq Test Service " + tag_),
          image_("zqsvc-" + tag_ + ".exe"),
          image_path_(folder / image_) {
        if (!CopyFileA((own_folder() + service_program).c_str(), image_path_.c_str(), /*fail_if_exists=*/TRUE)) {
            install_error_ = GetLastError();
            return;
        }
        if (!arguments.empty()) image_path_ += " " + arguments;
        const replay::service_handle manager = open_manager();
        const replay::service_handle service(
            manager ? CreateServiceA(manager.get(), name_.c_str(), display_name_.c_str(), SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                     image_path_.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr)
                    : nullptr);
        if (!service) install_error_ = GetLastError();
    }
    test_service(const test_service&) = delete;
    test_service& operator=(const test_service&) = delete;
    ~test_service() { remove_test_service(std::wstring(name_.begin(), name_.end())); }

    ::testing::AssertionResult installed() const {
        if (install_error_ == ERROR_SUCCESS) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "installing " << name_ << " failed with " << install_error_;
    }

    // Starts the service and waits until it runs.
    ::testing::AssertionResult start() const {
        const replay::service_handle manager = open_manager();
        const replay::service_handle service(
            OpenServiceA(manager.get(), name_.c_str(), SERVICE_START | SERVICE_QUERY_STATUS));
        if (!service) return ::testing::AssertionFailure() << "OpenService gives " << GetLastError();
        if (!StartServiceA(service.get(), 0, nullptr)) {
            return ::testing::AssertionFailure() << "StartService gives " << GetLastError();
        }
        return wait_for(SERVICE_RUNNING);
    }

    // Sends the stop request itself, as someone else would, and expects the
    // service to be stopping.
    ::testing::AssertionResult request_stop() const {
        const replay::service_handle manager = open_manager();
        const replay::service_handle service(OpenServiceA(manager.get(), name_.c_str(), SERVICE_STOP));
        SERVICE_STATUS status = {};
        if (!service || !ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
            return ::testing::AssertionFailure() << "stopping " << name_ << " gives " << GetLastError();
        }
        if (status.dwCurrentState != SERVICE_STOP_PENDING) {
            return ::testing::AssertionFailure() << "state " << status.dwCurrentState << " after the stop request";
        }
        return ::testing::AssertionSuccess();
    }

    ::testing::AssertionResult wait_for(DWORD state) const {
        const DWORD start = GetTickCount();
        DWORD current = 0;
        do {
            current = current_state();
            if (current == state) return ::testing::AssertionSuccess();
            Sleep(50);
        } while (GetTickCount() - start < settle_ms);
        return ::testing::AssertionFailure() << name_ << " is in state " << current << ", not " << state;
    }

    // The state, or 0 when the service cannot be asked.
    DWORD current_state() const {
        const replay::service_handle manager = open_manager();
        const replay::service_handle service(OpenServiceA(manager.get(), name_.c_str(), SERVICE_QUERY_STATUS));
        SERVICE_STATUS status = {};
        if (!service || !QueryServiceStatus(service.get(), &status)) return 0;
        return status.dwCurrentState;
    }

    DWORD process_id() const {
        const replay::service_handle manager = open_manager();
        const replay::service_handle service(OpenServiceA(manager.get(), name_.c_str(), SERVICE_QUERY_STATUS));
        return service ? service_process_id(service.get()) : 0;
    }

    const std::string& tag() const { return tag_; }
    const std::string& name() const { return name_; }
    const std::string& display_name() const { return display_name_; }
    const std::string& image() const { return image_; }

private:
    std::string tag_;
    std::string name_;
    std::string display_name_;
    std::string image_;
    std::string image_path_;
    DWORD install_error_ = ERROR_SUCCESS;
};

// A service entry in the registry that the running service control manager
// never loaded (it reads its entries when it starts), as an entry left by a
// broken installation looks to it.
class unknown_entry {
public:
    unknown_entry(const std::string& image_path, const wchar_t* display_name)
        : name_(ascii(test_service_prefix) + unique_tag()) {
        replay::unique_hkey key;
        status_ = RegCreateKeyExW(HKEY_LOCAL_MACHINE, services_entry_w(name_).c_str(), 0, nullptr,
                                  REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, key.put(), nullptr);
        if (status_ != ERROR_SUCCESS) return;
        const std::wstring path(image_path.begin(), image_path.end());
        RegSetValueExW(key.get(), L"ImagePath", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                       static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
        RegSetValueExW(key.get(), L"DisplayName", 0, REG_SZ, reinterpret_cast<const BYTE*>(display_name),
                       static_cast<DWORD>((wcslen(display_name) + 1) * sizeof(wchar_t)));
        const DWORD type = SERVICE_WIN32_OWN_PROCESS, start = SERVICE_DEMAND_START;
        RegSetValueExW(key.get(), L"Type", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&type), sizeof(type));
        RegSetValueExW(key.get(), L"Start", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&start), sizeof(start));
        replay::unique_hkey parameters;
        RegCreateKeyExW(key.get(), L"Parameters", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                        parameters.put(), nullptr);
    }
    unknown_entry(const unknown_entry&) = delete;
    unknown_entry& operator=(const unknown_entry&) = delete;
    ~unknown_entry() { remove_test_service(std::wstring(name_.begin(), name_.end())); }

    LSTATUS status() const { return status_; }
    const std::string& name() const { return name_; }

private:
    std::string name_;
    LSTATUS status_ = ERROR_SUCCESS;
};

// Tests against the real service control manager of the prefix.
class ServiceTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!test_support::loader_is_emulated()) sweep_stale_services();
    }

    void SetUp() override {
        SKIP_SERVICES_WHERE_EMULATED();
        const std::string helper = own_folder() + service_program;
        ASSERT_NE(GetFileAttributesA(helper.c_str()), INVALID_FILE_ATTRIBUTES)
            << helper << " is missing: give it to run_unit.sh with --with";
    }

    // Uninstalls what the test installed, whatever the test's outcome.
    void TearDown() override { services_.clear(); }

    // Installs a new test service, not yet started.
    test_service& install(const std::string& arguments = "") {
        services_.push_back(std::make_unique<test_service>(folder, arguments));
        return *services_.back();
    }

    test_support::temp_folder folder;
    test_support::log_capture log;

private:
    std::vector<std::unique_ptr<test_service>> services_;
};

lines stopped_and_deleted(const std::string& name) {
    return {"Stop & Delete '" + name + "' Service", "Service stopped successfully.", "Service deleted successfully"};
}

using StopAndDeleteService = ServiceTest;

TEST_F(StopAndDeleteService, RunningServiceIsStoppedAndDeleted) {
    const test_service& service = install();
    ASSERT_TRUE(service.installed());
    ASSERT_TRUE(service.start());
    const DWORD process_id = service.process_id();
    ASSERT_NE(process_id, 0u);

    EXPECT_EQ(remover::stop_and_delete_service(service.name()), 1);
    EXPECT_EQ(log.texts(), stopped_and_deleted(service.name()));
    EXPECT_TRUE(service_gone(service.name()));
    EXPECT_TRUE(process_ended(process_id));
}

TEST_F(StopAndDeleteService, StoppedServiceIsDeletedAtOnce) {
    const test_service& service = install();
    ASSERT_TRUE(service.installed());

    const DWORD start = GetTickCount();
    EXPECT_EQ(remover::stop_and_delete_service(service.name()), 1);
    EXPECT_LT(GetTickCount() - start, remover::service_poll_interval_ms);
    EXPECT_EQ(log.texts(), (lines{"Stop & Delete '" + service.name() + "' Service", "Service is already stopped.",
                                  "Service deleted successfully"}));
    EXPECT_TRUE(service_gone(service.name()));
}

TEST_F(StopAndDeleteService, SlowStopIsWaitedFor) {
    const test_service& service = install("--stop-delay-ms 3000");
    ASSERT_TRUE(service.installed());
    ASSERT_TRUE(service.start());

    const DWORD start = GetTickCount();
    EXPECT_EQ(remover::stop_and_delete_service(service.name()), 1);
    EXPECT_GE(GetTickCount() - start, 2500u);
    EXPECT_EQ(log.texts(), stopped_and_deleted(service.name()));
    EXPECT_TRUE(service_gone(service.name()));
}

TEST_F(StopAndDeleteService, StoppingServiceIsPolledOnceASecondUntilItStops) {
    const test_service& service = install("--stop-delay-ms 3000");
    ASSERT_TRUE(service.installed());
    ASSERT_TRUE(service.start());
    ASSERT_TRUE(service.request_stop());

    const DWORD start = GetTickCount();
    EXPECT_EQ(remover::stop_and_delete_service(service.name()), 1);
    const DWORD took = GetTickCount() - start;

    const lines got = log.texts();
    ASSERT_GE(got.size(), 4u);
    EXPECT_EQ(got.front(), "Stop & Delete '" + service.name() + "' Service");
    const lines polls(got.begin() + 1, got.end() - 2);
    EXPECT_EQ(polls, lines(polls.size(), "Service stop pending..."));
    // About three seconds of stopping, one poll a second.
    EXPECT_GE(polls.size(), 2u);
    EXPECT_LE(polls.size(), 5u);
    EXPECT_GE(took, polls.size() * remover::service_poll_interval_ms);
    EXPECT_EQ(lines(got.end() - 2, got.end()),
              (lines{"Service stopped successfully.", "Service deleted successfully"}));
    EXPECT_TRUE(service_gone(service.name()));
}

TEST_F(StopAndDeleteService, UnknownServiceCannotBeOpened) {
    const std::string name = ascii(test_service_prefix) + unique_tag() + "-missing";
    EXPECT_EQ(remover::stop_and_delete_service(name), 0);
    EXPECT_EQ(log.texts(), (lines{"Stop & Delete '" + name + "' Service",
                                  "OpenService call failed, System Error Code = 1060"}));
}

// The time-outs, with the timing shortened so that the limit is reached in
// seconds: a stop limit of 3 s, a poll every 250 ms.
class ServiceTimeOut : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        remover::service_timing() = {poll_ms, limit_ms};
    }
    void TearDown() override {
        remover::service_timing() = {};
        ServiceTest::TearDown();
    }

    static constexpr DWORD poll_ms = 250;
    static constexpr DWORD limit_ms = 3000;
};

TEST_F(ServiceTimeOut, ServiceThatNeverStopsTimesOut) {
    const test_service& service = install("--ignore-stop");
    ASSERT_TRUE(service.installed());
    ASSERT_TRUE(service.start());

    const DWORD start = GetTickCount();
    EXPECT_EQ(remover::stop_and_delete_service(service.name()), 0);
    const DWORD took = GetTickCount() - start;
    EXPECT_GT(took, limit_ms);
    EXPECT_LT(took, limit_ms + 3 * poll_ms + 1000);
    EXPECT_EQ(log.texts(), (lines{"Stop & Delete '" + service.name() + "' Service", "Wait timed out"}));
    EXPECT_EQ(open_service_error(service.name()), static_cast<DWORD>(ERROR_SUCCESS));  // not deleted
}

TEST_F(ServiceTimeOut, ServiceThatStaysStoppingTimesOut) {
    const test_service& service = install("--ignore-stop");
    ASSERT_TRUE(service.installed());
    ASSERT_TRUE(service.start());
    ASSERT_TRUE(service.request_stop());

    EXPECT_EQ(remover::stop_and_delete_service(service.name()), 0);
    const lines got = log.texts();
    ASSERT_GE(got.size(), 3u);
    const lines polls(got.begin() + 1, got.end() - 1);
    EXPECT_EQ(polls, lines(polls.size(), "Service stop pending..."));
    // One poll each interval until the limit has passed; a slow query may
    // cost one.
    EXPECT_GE(polls.size(), limit_ms / poll_ms - 1);
    EXPECT_LE(polls.size(), limit_ms / poll_ms + 2);
    EXPECT_EQ(got.back(), "Service stop timed out.");
    EXPECT_EQ(open_service_error(service.name()), static_cast<DWORD>(ERROR_SUCCESS));  // not deleted
}

using ServiceExists = ServiceTest;

TEST_F(ServiceExists, OnlyAnUnknownNameIsMissing) {
    const test_service& service = install();
    ASSERT_TRUE(service.installed());
    EXPECT_TRUE(remover::service_exists(service.name()));
    EXPECT_FALSE(remover::service_exists(service.name() + "-missing"));
    EXPECT_TRUE(log.texts().empty());
}

// Only "no such service" makes a service missing; any other refusal of the
// manager leaves it to the removal, which then logs why it failed.
TEST_F(ServiceExists, OtherRefusalsCountAsExisting) {
    const std::string invalid = ascii(test_service_prefix) + "in\\valid";
    ASSERT_EQ(open_service_error(invalid), static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_TRUE(remover::service_exists(invalid));
}

using FindServiceByImage = ServiceTest;

TEST_F(FindServiceByImage, GivesTheNameTheManagerKnowsAndShowsTheDisplayName) {
    const test_service& service = install();
    ASSERT_TRUE(service.installed());
    EXPECT_EQ(remover::find_service_by_image(service.image()), service.name());
    EXPECT_EQ(log.texts(), (lines{"Search if " + service.image() + " service is installed",
                                  "Service found. Display Name: " + service.display_name()}));
}

TEST_F(FindServiceByImage, NothingMatches) {
    const std::string image = "zqsvc-" + unique_tag() + "-missing.exe";
    EXPECT_EQ(remover::find_service_by_image(image), "");
    EXPECT_EQ(log.texts(), (lines{"Search if " + image + " service is installed", "Service not found"}));
}

using RemoveService = ServiceTest;

TEST_F(RemoveService, ServiceKnownByItsNameIsStoppedAndDeleted) {
    const test_service& service = install();
    ASSERT_TRUE(service.installed());
    ASSERT_TRUE(service.start());
    const DWORD process_id = service.process_id();

    remover::remove_service(service.name(), service.image());
    EXPECT_EQ(log.texts(), stopped_and_deleted(service.name()));
    EXPECT_TRUE(service_gone(service.name()));
    EXPECT_TRUE(process_ended(process_id));
}

// The image search gives the service's key name, so the manager can still
// stop and delete a service that was installed under another name.
TEST_F(RemoveService, ServiceUnderAnotherNameIsFoundByImageAndRemovedByTheManager) {
    const test_service& service = install();
    ASSERT_TRUE(service.installed());
    ASSERT_TRUE(service.start());
    const DWORD process_id = service.process_id();
    const std::string expected_name = ascii(test_service_prefix) + unique_tag() + "-expected";

    remover::remove_service(expected_name, service.image());
    lines expected = {
        "The specified service (" + expected_name + ") does not exist as an installed service.",
        "Search if " + service.image() + " service is installed",
        "Service found. Display Name: " + service.display_name(),
    };
    for (const std::string& line : stopped_and_deleted(service.name())) expected.push_back(line);
    EXPECT_EQ(log.texts(), expected);
    EXPECT_TRUE(service_gone(service.name()));
    EXPECT_TRUE(process_ended(process_id));
}

TEST_F(RemoveService, EntryTheManagerDoesNotKnowIsKilledAndDeleted) {
    const std::string image = "zqsvc-" + unique_tag() + ".exe";
    const sleeper running(folder / image);
    ASSERT_TRUE(running.started());
    const unknown_entry entry(folder / image, L"Zq Leftover Service");
    ASSERT_EQ(entry.status(), ERROR_SUCCESS);
    ASSERT_EQ(open_service_error(entry.name()), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    Sleep(300);  // let the sleeper appear in process snapshots

    remover::remove_service(entry.name(), image);
    EXPECT_EQ(log.texts(), (lines{
                               "The specified service (" + entry.name() + ") does not exist as an installed service.",
                               "Search if " + image + " service is installed",
                               "Service found. Display Name: Zq Leftover Service",
                               "Dealing with '" + image + "' process ....",
                               "Process with name '" + image + "' is running, let us close it",
                               "Service " + entry.name() + " is killed",
                           }));
    EXPECT_EQ(running.exit_code(), 255u);
    EXPECT_TRUE(key_absent(HKEY_LOCAL_MACHINE, services_entry_w(entry.name())));
}

TEST_F(RemoveService, WithoutAnyEntryOnlyTheExecutableIsEnded) {
    const std::string image = "zqsvc-" + unique_tag() + ".exe";
    const sleeper running(folder / image);
    ASSERT_TRUE(running.started());
    const std::string name = ascii(test_service_prefix) + unique_tag() + "-missing";
    Sleep(300);

    remover::remove_service(name, image);
    EXPECT_EQ(log.texts(), (lines{
                               "The specified service (" + name + ") does not exist as an installed service.",
                               "Search if " + image + " service is installed",
                               "Service not found",
                               "Dealing with '" + image + "' process ....",
                               "Process with name '" + image + "' is running, let us close it",
                           }));
    EXPECT_EQ(running.exit_code(), 255u);
}

// The matching rules, on service entries in a registry of their own.
class ServiceEntries : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(machine.status(), ERROR_SUCCESS); }

    void plant(const std::wstring& name, DWORD type, const std::wstring& image_path, const wchar_t* display_name) {
        const replay::unique_hkey key = machine.create(std::wstring(remover::services_key_path) + L"\\" + name);
        ASSERT_TRUE(key);
        ASSERT_TRUE(test_support::raw_value_set(key.get(), L"ImagePath", type, image_path.c_str(),
                                                static_cast<DWORD>((image_path.size() + 1) * sizeof(wchar_t))));
        if (display_name != nullptr) {
            ASSERT_TRUE(test_support::raw_value_set(key.get(), L"DisplayName", REG_SZ, display_name,
                                                    static_cast<DWORD>((wcslen(display_name) + 1) * sizeof(wchar_t))));
        }
    }

    // Entries whose ImagePath holds the image name but does not end with it.
    void plant_near_misses() {
        plant(L"a-quoted", REG_EXPAND_SZ, L"\"C:\\Program Files\\Zq\\ZqMatch.exe\"", L"Quoted");
        plant(L"b-arguments", REG_EXPAND_SZ, L"C:\\Zq\\ZqMatch.exe -service", L"Arguments");
        plant(L"b-longer", REG_SZ, L"C:\\Other\\OldZqMatch.exe", L"Longer name");
    }

    ::testing::AssertionResult entry_exists(const std::wstring& name) const {
        return key_exists(machine.hive(), std::wstring(remover::services_key_path) + L"\\" + name);
    }

    test_support::machine_override machine;
    test_support::log_capture log;
};

TEST_F(ServiceEntries, QuotedPathOrArgumentsDoNotMatch) {
    ASSERT_NO_FATAL_FAILURE(plant_near_misses());
    EXPECT_EQ(remover::find_service_by_image("ZqMatch.exe"), "");
    EXPECT_FALSE(remover::delete_service_entry_by_image("ZqMatch.exe"));
    EXPECT_EQ(log.texts(), (lines{"Search if ZqMatch.exe service is installed", "Service not found"}));
    EXPECT_TRUE(entry_exists(L"a-quoted"));
    EXPECT_TRUE(entry_exists(L"b-arguments"));
    EXPECT_TRUE(entry_exists(L"b-longer"));
}

TEST_F(ServiceEntries, EndOfThePathMatchesWithoutRegardToCase) {
    ASSERT_NO_FATAL_FAILURE(plant_near_misses());
    plant(L"d-later", REG_SZ, L"C:\\Zq\\ZqMatch.exe", L"Later");
    plant(L"c-match", REG_SZ, L"C:\\ZQ\\ZQMATCH.EXE", L"Zq Match \u00e9");
    EXPECT_EQ(remover::find_service_by_image("zqmatch.Exe"), "c-match");
    // The display name is shown as it is, the log being UTF-8.
    EXPECT_EQ(log.texts(), (lines{"Search if zqmatch.Exe service is installed",
                                  "Service found. Display Name: Zq Match \xc3\xa9"}));
}

TEST(ImagePathMatches, TheImageNameIsTheWholeLastPartOfThePath) {
    const struct {
        const char* image_path;
        const char* image;
        bool matches;
    } cases[] = {
        {"C:\\Zq\\ZqMatch.exe", "ZqMatch.exe", true},
        {"C:\\ZQ\\ZQMATCH.EXE", "zqmatch.Exe", true},
        {"ZqMatch.exe", "ZqMatch.exe", true},
        {"C:\\Other\\XZqMatch.exe", "ZqMatch.exe", false},
        {"OldZqMatch.exe", "ZqMatch.exe", false},
        {"C:\\Zq/ZqMatch.exe", "ZqMatch.exe", false},
        {"\"C:\\Zq\\ZqMatch.exe\"", "ZqMatch.exe", false},
        {"C:\\Zq\\ZqMatch.exe -service", "ZqMatch.exe", false},
        {"C:\\Zq\\ZqMatch.exe", "", false},
        {"exe", "ZqMatch.exe", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.image_path) + " / " + c.image);
        EXPECT_EQ(remover::image_path_matches(c.image_path, c.image), c.matches);
    }
}

TEST_F(ServiceEntries, ExpandedImagePathMatches) {
    plant(L"e-expand", REG_EXPAND_SZ, L"%SystemRoot%\\ZqMatch.exe", L"Expanded");
    EXPECT_EQ(remover::find_service_by_image("ZqMatch.exe"), "e-expand");
}

TEST_F(ServiceEntries, EntryWithoutDisplayNameShowsItsKeyName) {
    plant(L"f-nameless", REG_SZ, L"C:\\Zq\\ZqMatch.exe", nullptr);
    EXPECT_EQ(remover::find_service_by_image("ZqMatch.exe"), "f-nameless");
    EXPECT_EQ(log.texts(), (lines{"Search if ZqMatch.exe service is installed",
                                  "Service found. Display Name: f-nameless"}));
}

TEST_F(ServiceEntries, EmptyImageNameMatchesNothing) {
    plant(L"g-any", REG_SZ, L"C:\\Zq\\ZqMatch.exe", L"Any");
    EXPECT_EQ(remover::find_service_by_image(""), "");
    EXPECT_FALSE(remover::delete_service_entry_by_image(""));
    EXPECT_TRUE(entry_exists(L"g-any"));
}

TEST_F(ServiceEntries, WithoutServicesKeyNothingIsFound) {
    EXPECT_EQ(remover::find_service_by_image("ZqMatch.exe"), "");
    EXPECT_FALSE(remover::delete_service_entry_by_image("ZqMatch.exe"));
    EXPECT_EQ(log.texts(), (lines{"Search if ZqMatch.exe service is installed", "Service not found"}));
}

TEST_F(ServiceEntries, DeletionTakesTheFirstMatchWithItsSubkeys) {
    ASSERT_NO_FATAL_FAILURE(plant_near_misses());
    plant(L"c-match", REG_SZ, L"C:\\Zq\\zqmatch.exe", L"Match");
    plant(L"d-later", REG_SZ, L"C:\\Zq\\ZqMatch.exe", L"Later");
    ASSERT_TRUE(machine.create(std::wstring(remover::services_key_path) + L"\\c-match\\Parameters\\Deep"));

    EXPECT_TRUE(remover::delete_service_entry_by_image("ZqMatch.exe"));
    EXPECT_EQ(log.texts(), lines{"Service c-match is killed"});
    EXPECT_FALSE(entry_exists(L"c-match"));
    EXPECT_TRUE(entry_exists(L"d-later"));
    EXPECT_TRUE(entry_exists(L"a-quoted"));
    EXPECT_TRUE(entry_exists(L"b-arguments"));
}

}  // namespace
