#include "backend_win/loopback_failure.hpp"

#include <windows.h>

#include <filesystem>

#include "capture/capture_texts.hpp"
#include "common/module_path.hpp"
#include "common/unique_handle.hpp"
#include "io/console.hpp"

namespace kestrune::win {

void report_loopback_failure(const std::string& error) {
    const std::filesystem::path log = loopback_log_path(executable_path());
    UniqueFileHandle file(::CreateFileW(log.wstring().c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                        nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) {
        const std::string text = loopback_log_text(error);
        DWORD written = 0;
        ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }
    write_stderr_line(loopback_stderr_line(error));
}

}  // namespace kestrune::win
