#pragma once
// The product's share of the maker's shared suite: the user's e-mail address
// read from the suite, the product unregistered from it, and then either the
// whole suite removed, when no other product is registered any more, or only
// its SharedDLLs counters repaired.
//
// toolkit_remover names the operations; toolkit31x_remover implements them
// for suite version 3.1.x through the suite client library. Every operation
// asks the library afresh; none lets an exception escape except as said.
#include <cstdint>
#include <optional>
#include <string>

namespace remover {

class toolkit_remover {
public:
    toolkit_remover(std::wstring folder, std::wstring suite, std::wstring service_name, std::wstring service_exe);
    toolkit_remover(const toolkit_remover&) = delete;
    toolkit_remover& operator=(const toolkit_remover&) = delete;
    virtual ~toolkit_remover();

    // The number of products registered in the suite; 0 when it cannot be read.
    virtual std::int32_t count_products_in_toolkit_31x() = 0;
    virtual bool is_product_registered_in_toolkit_31x(std::wstring code) = 0;
    // user@site from the suite configuration of the product, in the ANSI
    // code page; empty when there is none or it cannot be read.
    virtual std::string read_user_email_from_toolkit_31x(std::wstring code) = 0;
    // The product's name in the suite; empty when it cannot be read.
    virtual std::wstring product_name_in_toolkit_31x(std::wstring code) = 0;
    virtual void unregister_product_from_toolkit_31x(std::wstring code) = 0;
    // Removes the suite when the products left could be read and are none,
    // or the suite's own TOOLKIT entry alone; otherwise logs why it stays.
    // Repairs its counters unless the products could not be read. Raises
    // only when its clean-up context cannot be made.
    virtual void remove_toolkit_31x() = 0;
    virtual std::wstring product_install_folder(std::wstring code) = 0;
    virtual std::wstring product_user_data_folder(std::wstring code) = 0;
    virtual std::wstring product_common_data_folder(std::wstring code) = 0;
    virtual void fix_toolkit_counters() = 0;

protected:
    std::wstring folder_name;
    std::wstring suite_name;
    std::wstring suite_service_name;
    std::wstring suite_service_exe;
    std::wstring suite_dir;  // ends with a backslash once set
};

class toolkit31x_remover : public toolkit_remover {
public:
    // The suite lives in the 32-bit Program Files folder under the maker's
    // folder. Raises when that folder cannot be resolved.
    toolkit31x_remover(std::wstring folder, std::wstring suite, std::wstring service_name, std::wstring service_exe);

    std::int32_t count_products_in_toolkit_31x() override;
    bool is_product_registered_in_toolkit_31x(std::wstring code) override;
    std::string read_user_email_from_toolkit_31x(std::wstring code) override;
    std::wstring product_name_in_toolkit_31x(std::wstring code) override;
    void unregister_product_from_toolkit_31x(std::wstring code) override;
    void remove_toolkit_31x() override;
    std::wstring product_install_folder(std::wstring code) override;
    std::wstring product_user_data_folder(std::wstring code) override;
    std::wstring product_common_data_folder(std::wstring code) override;
    void fix_toolkit_counters() override;

    // Whether remove_toolkit_31x removed the suite.
    bool suite_removed() const { return removed; }
    // Whether the suite's folder still holds any file of the suite or its
    // languages; true also when that cannot be told.
    bool suite_installed() const;

private:
    // Whether the one product left is the suite's own TOOLKIT entry; empty
    // when the library cannot tell.
    std::optional<bool> suite_entry_alone();
    void log_count(std::int32_t count);
    void remove_code();
    void remove_data();
    void remove_registry_component();

    bool counted = false;  // the last count was read without failure
    bool removed = false;
};

}  // namespace remover
