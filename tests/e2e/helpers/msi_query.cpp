// msi_query: what Windows Installer itself knows of products, asked through
// msi.dll rather than read from the registry.
//
//   msi_query.exe UPGRADE-CODE PRODUCT-CODE...
//
// Writes one JSON object to standard output:
//   {"related":["{...}",...],"states":{"{...}":5,...}}
// "related" lists the products installed with the upgrade code
// (MsiEnumRelatedProductsW); each state is MsiQueryProductStateW's answer
// (5: installed, -1: unknown).
#include <windows.h>
#include <msi.h>

#include <string>

#include "helper_output.hpp"

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    std::string out = "{\"related\":[";
    wchar_t product[39] = {};
    for (DWORD index = 0; MsiEnumRelatedProductsW(argv[1], 0, index, product) == ERROR_SUCCESS; ++index) {
        if (index > 0) out += ",";
        out += helper::json_string(product);
    }
    out += "],\"states\":{";
    for (int i = 2; i < argc; ++i) {
        if (i > 2) out += ",";
        out += helper::json_string(argv[i]) + ":" + std::to_string(static_cast<int>(MsiQueryProductStateW(argv[i])));
    }
    out += "}}\n";
    helper::write_stdout(out);
    return 0;
}
