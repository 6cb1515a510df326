#pragma once
// The contract between the worker and the withholding client's interface library
// "AppModules\RODUD\REZAInterface.dll" (the client's own; our stand-in implements the same).
//
// Every export has one shape:
//   ClientBool __stdcall <name>(const wchar_t* request, BSTR* result)
//   - request: the request as compact JSON text, zero-terminated UTF-16; owned by the caller and
//     valid for the call only.
//   - result: the caller sets *result to NULL before the call; the library stores a value made
//     with SysAllocString (or leaves NULL). The caller frees it with SysFreeString.
//   - the result is an 8-bit Boolean of which only the low byte counts: non-zero = success.
//   - a failed call's JSON carries "messageCode" and "message"; a successful one "data".
//   - no C++ exception crosses the boundary. The caller initialises COM (apartment model) on the
//     calling thread around every call and guards each call against structured exceptions.
// Exports are undecorated (a .def file on the library's side) and looked up by name.

#include <windows.h>
#include <oleauto.h>

#include <cstdint>

typedef std::uint8_t ClientBool;
typedef ClientBool(__stdcall* ClientExportFn)(const wchar_t* request, BSTR* result);

namespace nelto::client {

inline constexpr const char* kExportNames[] = {
    "initREZARunEnvironment", "companyLogin",   "getCompanyInfos",   "getPersonInfos",
    "addPersonInfos",         "updatePersonInfos", "verifyPersonInfos", "addGZXJInfos",
    "getSDXMInfos",           "getDeclareStateInfo", "getKJSDSBGBInfos",
};

// Paths relative to the client folder.
inline constexpr char kInterfaceLibrary[] = "AppModules\\RODUD\\REZAInterface.dll";
inline constexpr char kClientProgram[] = "DeZazevozor.exe";
inline constexpr char kComponentList[] = "AppComs\\Main\\RODUDAppComs.app";
inline constexpr char kStaticConfig[] = "AppComs\\Main\\KvStatic.cfg";
inline constexpr char kDatabaseConfig[] = "AppModules\\RODUD\\AppComs\\DB\\GRSDSDB.dbc";
inline constexpr char kClientUserConfig[] = "AppModules\\RODUD\\UserConfig.ini";
// Window class of the running client's main window, which takes the refresh message.
inline constexpr wchar_t kMainWindowClass[] = L"Tfrm_MainFrame";

}  // namespace nelto::client
