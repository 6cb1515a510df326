#pragma once
// One action becomes one run of an external program: the worker "Httpd.Nelto.exe" with the
// service number, or (funcId 20) the withholding client itself with an enciphered parameter.
// Request and result travel through the exchange files; the wait processes window messages.
//
// Threading: any host thread. ServiceLock() serialises the whole exchange within the process; it
// is re-entrant, so a call reached again through the message processing of the wait runs its own
// complete exchange nested inside the outer one.

#include <windows.h>

#include <cstdint>
#include <string>

#include "common/win/handles.h"

namespace nelto {

CriticalSection& ServiceLock();

// text: the request parameters (JSON) in, the result envelope out. Returns whether a result file
// with Return "0" was read; the actions ignore it.
bool CallREZAServ(std::string& text, std::uint32_t serviceNumber);

// Starts file through the shell and waits as the mode says (1: until it ends or one whole timeout
// passes without input for this thread, processing messages; 2: until it is idle for input; else
// no wait). exitCode: the program's exit code, 259 while it runs, -1 when unreadable, or the
// system error of a failed start. Returns whether it started. process receives the handle, if any.
bool ShellExecuteAndWait(const std::string& file, const std::string& parameters, const std::string& folder,
                         UniqueHandle& process, DWORD& exitCode, DWORD timeout, int showCommand, int waitMode);

// {"messageCode":"99999998","message":"处理失败","data":{"text":...}} as compact text.
std::string MissingComponentResult();

// Key and parameter of the client start (service number 20).
inline constexpr char kClientStartKey[] = "Tc8vRo2KmYw5sPz=";
std::string ClientStartArgument(const std::string& servicePath);

// The service folder of this plug-in: the parent of the folder holding the library.
std::string ServicePath();

}  // namespace nelto
