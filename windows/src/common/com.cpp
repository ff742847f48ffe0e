#include "common/com.hpp"

namespace kestrune::win {

ComInit::ComInit(DWORD apartment) : hr_(::CoInitializeEx(nullptr, apartment)) {}

ComInit::~ComInit() {
    if (SUCCEEDED(hr_)) ::CoUninitialize();
}

}  // namespace kestrune::win
