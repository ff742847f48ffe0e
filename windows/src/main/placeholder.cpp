// Keeps the Windows library non-empty until its first module lands.
namespace kestrune::win {
void windows_library_placeholder() {}
}  // namespace kestrune::win
