#pragma once
// The request/result exchange between the plug-in and the program it starts, through files in
// the service folder S:
//   S\NeltoParam.ini            [section] InParam, outParam, Return
//   S\Temp\{GUID}\Request.json  written by the plug-in (through Request.~tmp)
//   S\Temp\{GUID}\Response.json written by the worker (through Response.~tmp)
// Files hold one line of compact JSON with \u escapes, then CR LF, in the ANSI code page.
// servicePath always ends with a backslash.

#include <string>
#include <string_view>

#include "common/json_util.h"

namespace nelto {

// ---- plug-in side ----

// S: the parent of the folder holding the module (the plug-in library), with a backslash.
std::string GetServicePath(void* module);

// Creates S\Temp\{GUID}\Request.json from requestText and points [section] InParam at it,
// clearing outParam. Never throws. Returns the request folder created (with trailing backslash),
// empty when it could not be created.
std::string WriteRequestFiles(const std::string& servicePath, const std::string& section,
                              const std::string& requestText);

struct ResponseFiles {
    std::string text;      // the result text, or the time-out envelope "10009998"
    bool success = false;  // [section] Return is "0"
    bool read = false;     // a result file was read
};

// Reads the result named by [section] outParam. When requestFolder is not empty, only a result
// file directly inside that folder is accepted (a late worker of an earlier request cannot
// answer this one). Deletes the result's folder after a success unless the debug switch is on,
// and only when it is a direct {GUID} subfolder of S\Temp\.
ResponseFiles ReadResponseFiles(const std::string& servicePath, const std::string& section,
                                const std::string& requestFolder);

// The time-out envelope {"messageCode":"10009998","data":{"text":...}} as compact text.
std::string TimeoutResult();

// The lines of a text (ended by CR LF, LF or CR) joined with CR LF, with a CR LF after the last:
// "abc" gives "abc\r\n", "a\nb\r\n" gives "a\r\nb\r\n", "" stays "".
std::string JoinTextLines(std::string_view text);

// Removes a folder and everything in it, depth first. Junctions and symbolic links inside are
// removed as links, never entered. Returns true when the folder is gone.
bool DeleteFolderTree(const std::string& folder);

// A new GUID in registry form: 38 characters, braces, upper-case hexadecimal; empty on failure.
std::string NewGuidText();

// ---- worker side ----

// [section] InParam of S\NeltoParam.ini, empty when the INI or the key is missing.
std::string ReadInParam(const std::string& servicePath, const std::string& section);

// Writes the result beside requestFile as Response.json (through Response.~tmp) and sets
// [section] outParam and Return ("0" when messageCode is "00000000", else "-1"). An old
// Response.json that cannot be deleted is renamed "Response.json<random number>"; when it can be
// neither deleted nor renamed (held open without FILE_SHARE_DELETE) the INI is left as it was.
void WriteResponse(const std::string& servicePath, const std::string& section, const std::string& requestFile,
                   const Json& result);

// "0" when result's "messageCode" is the text "00000000", else "-1".
std::string ReturnCodeFor(const Json& result);

// WriteResponse with the line already made (tests and stand-ins write lines that are not JSON).
void WriteResponseText(const std::string& servicePath, const std::string& section, const std::string& requestFile,
                       const std::string& line, const std::string& returnCode);

// The JSON object in a request (or result) file; false when unreadable or not an object.
bool ReadRequestFile(const std::string& requestFile, Json& request);

}  // namespace nelto
