// What Windows reads from each shipped program before it runs it: the version
// resource (Explorer's Properties, inventories), the icon, and the application
// manifest, through an activation context made from the program's own resource
// exactly as the loader makes it.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/RunProgram.h"

namespace {

constexpr int kVersion[] = {NOLT_VERSION_PARTS};
const char* const kPrograms[] = {"nolt-patch-setup", "nolt-webcopy", "nolt-cab"};

std::string VersionText() {
  return std::to_string(kVersion[0]) + "." + std::to_string(kVersion[1]) + "." + std::to_string(kVersion[2]) + ".0";
}

class Program : public ::testing::TestWithParam<const char*> {
 protected:
  std::string path = nolt::test::ProgramPath(GetParam());
};

TEST_P(Program, CarriesItsVersionResourceAndIcon) {
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeA(path.c_str(), &ignored);
  ASSERT_GT(size, 0u) << path;
  std::vector<char> info(size);
  ASSERT_TRUE(::GetFileVersionInfoA(path.c_str(), 0, size, info.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(::VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileVersionMS, static_cast<DWORD>(MAKELONG(kVersion[1], kVersion[0])));
  EXPECT_EQ(fixed->dwFileVersionLS, static_cast<DWORD>(MAKELONG(0, kVersion[2])));
  EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

  // A text of the resource as UTF-8, as the build was given it.
  auto text = [&](const std::wstring& name) {
    wchar_t* value = nullptr;
    UINT n = 0;
    const std::wstring key = L"\\StringFileInfo\\040904B0\\" + name;
    if (!::VerQueryValueW(info.data(), key.c_str(), reinterpret_cast<void**>(&value), &n) || !value)
      return std::string("<none>");
    std::string utf8(static_cast<std::size_t>(::WideCharToMultiByte(CP_UTF8, 0, value, -1, nullptr, 0, nullptr, nullptr)), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, value, -1, utf8.data(), static_cast<int>(utf8.size()), nullptr, nullptr);
    utf8.resize(std::strlen(utf8.c_str()));
    return utf8;
  };
  EXPECT_EQ(text(L"ProductName"), NOLT_PRODUCT_NAME);
  EXPECT_EQ(text(L"CompanyName"), std::string(NOLT_COMPANY_NAME).empty() ? "<none>" : NOLT_COMPANY_NAME);
  EXPECT_EQ(text(L"FileVersion"), VersionText());
  EXPECT_EQ(text(L"ProductVersion"), VersionText());
  EXPECT_EQ(text(L"OriginalFilename"), std::string(GetParam()) + ".exe");
  EXPECT_EQ(text(L"InternalName"), GetParam());
  EXPECT_GT(text(L"FileDescription").size(), 10u);

  // The icon at a small and a large size, as Explorer asks for it.
  HMODULE module = ::LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_TRUE(module);
  for (int px : {16, 32, 48}) {
    HICON icon = static_cast<HICON>(::LoadImageA(module, MAKEINTRESOURCEA(1), IMAGE_ICON, px, px, 0));
    EXPECT_TRUE(icon) << px;
    if (icon) ::DestroyIcon(icon);
  }
  ::FreeLibrary(module);
}

// The settings a program's manifest gives, by namespace and name ("" when absent).
std::wstring Setting(HANDLE context, const wchar_t* ns, const wchar_t* name) {
  using QuerySettings = BOOL(WINAPI*)(DWORD, HANDLE, const wchar_t*, const wchar_t*, wchar_t*, SIZE_T, SIZE_T*);
  auto query = reinterpret_cast<QuerySettings>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "QueryActCtxSettingsW")));
  if (!query) return L"<no QueryActCtxSettingsW>";
  wchar_t value[128] = {};
  SIZE_T n = 0;
  return query(0, context, ns, name, value, 128, &n) ? std::wstring(value) : std::wstring();
}

TEST_P(Program, ManifestRunsAsInvokerWithCommonControls6AndDpiAwareness) {
  ACTCTXA request{};
  request.cbSize = sizeof request;
  request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
  request.lpSource = path.c_str();
  request.lpResourceName = MAKEINTRESOURCEA(1);  // CREATEPROCESS_MANIFEST_RESOURCE_ID
  HANDLE context = ::CreateActCtxA(&request);
  ASSERT_NE(context, INVALID_HANDLE_VALUE) << "no manifest that the loader accepts: " << ::GetLastError();

  // ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION: flags, run level, UI access.
  struct {
    DWORD flags;
    DWORD runLevel;
    DWORD uiAccess;
  } level{};
  SIZE_T n = 0;
  ASSERT_TRUE(::QueryActCtxW(0, context, nullptr, 5 /* RunlevelInformationInActivationContext */, &level,
                             sizeof level, &n));
  EXPECT_EQ(level.runLevel, 1u) << "asInvoker";
  EXPECT_EQ(level.uiAccess, 0u);

  const wchar_t* const k2016 = L"http://schemas.microsoft.com/SMI/2016/WindowsSettings";
  const wchar_t* const k2005 = L"http://schemas.microsoft.com/SMI/2005/WindowsSettings";
  EXPECT_EQ(Setting(context, k2016, L"dpiAwareness"), L"PerMonitorV2, System");
  EXPECT_EQ(Setting(context, k2005, L"dpiAware"), L"true");
  EXPECT_EQ(Setting(context, k2016, L"longPathAware"), L"true");

  // The common controls 6 assembly is what the context maps comctl32.dll to.
  ULONG_PTR cookie = 0;
  ASSERT_TRUE(::ActivateActCtx(context, &cookie));
  ACTCTX_SECTION_KEYED_DATA found{};
  found.cbSize = sizeof found;
  const BOOL mapped = ::FindActCtxSectionStringA(0, nullptr, ACTIVATION_CONTEXT_SECTION_DLL_REDIRECTION,
                                                 "comctl32.dll", &found);
  ::DeactivateActCtx(0, cookie);
  EXPECT_TRUE(mapped) << "comctl32.dll is not taken from a side-by-side assembly";
  ::ReleaseActCtx(context);
}

INSTANTIATE_TEST_SUITE_P(Shipped, Program, ::testing::ValuesIn(kPrograms),
                         [](const ::testing::TestParamInfo<const char*>& i) {
                           std::string name = i.param;
                           for (char& c : name)
                             if (c == '-') c = '_';
                           return name;
                         });

}  // namespace
