// Win32 error texts, one row a code, for every code the layer's winerror.h defines.
#include <algorithm>
#include <iterator>

#include "messages.h"

namespace winapi {
namespace {

struct ErrorText {
  DWORD code;
  const wchar_t* text;
};

// Sorted by code.
constexpr ErrorText kErrorTexts[] = {
    {0, L"The operation completed successfully.\r\n"},
    {1, L"Incorrect function.\r\n"},
    {2, L"The system cannot find the file specified.\r\n"},
    {3, L"The system cannot find the path specified.\r\n"},
    {4, L"The system cannot open the file.\r\n"},
    {5, L"Access is denied.\r\n"},
    {6, L"The handle is invalid.\r\n"},
    {8, L"Not enough memory resources are available to process this command.\r\n"},
    {10, L"The environment is incorrect.\r\n"},
    {11, L"An attempt was made to load a program with an incorrect format.\r\n"},
    {12, L"The access code is invalid.\r\n"},
    {13, L"The data is invalid.\r\n"},
    {14, L"Not enough memory resources are available to complete this operation.\r\n"},
    {15, L"The system cannot find the drive specified.\r\n"},
    {17, L"The system cannot move the file to a different disk drive.\r\n"},
    {18, L"There are no more files.\r\n"},
    {19, L"The media is write protected.\r\n"},
    {21, L"The device is not ready.\r\n"},
    {24, L"The program issued a command but the command length is incorrect.\r\n"},
    {25, L"The drive cannot locate a specific area or track on the disk.\r\n"},
    {29, L"The system cannot write to the specified device.\r\n"},
    {30, L"The system cannot read from the specified device.\r\n"},
    {31, L"A device attached to the system is not functioning.\r\n"},
    {32, L"The process cannot access the file because it is being used by another process.\r\n"},
    {33, L"The process cannot access the file because another process has locked a portion of the file.\r\n"},
    {38, L"Reached the end of the file.\r\n"},
    {39, L"The disk is full.\r\n"},
    {50, L"The request is not supported.\r\n"},
    {53, L"The network path was not found.\r\n"},
    {80, L"The file exists.\r\n"},
    {82, L"The directory or file cannot be created.\r\n"},
    {87, L"The parameter is incorrect.\r\n"},
    {109, L"The pipe has been ended.\r\n"},
    {110, L"The system cannot open the device or file specified.\r\n"},
    {111, L"The file name is too long.\r\n"},
    {112, L"There is not enough space on the disk.\r\n"},
    {120, L"This function is not supported on this system.\r\n"},
    {121, L"The semaphore timeout period has expired.\r\n"},
    {122, L"The data area passed to a system call is too small.\r\n"},
    {123, L"The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {124, L"The system call level is not correct.\r\n"},
    {126, L"The specified module could not be found.\r\n"},
    {127, L"The specified procedure could not be found.\r\n"},
    {131, L"An attempt was made to move the file pointer before the beginning of the file.\r\n"},
    {145, L"The directory is not empty.\r\n"},
    {160, L"One or more arguments are not correct.\r\n"},
    {161, L"The specified path is invalid.\r\n"},
    {170, L"The requested resource is in use.\r\n"},
    {183, L"Cannot create a file when that file already exists.\r\n"},
    {191, L"Cannot run %1 in Win32 mode.\r\n"},
    {193, L"%1 is not a valid Win32 application.\r\n"},
    {203, L"The system could not find the environment option that was entered.\r\n"},
    {206, L"The filename or extension is too long.\r\n"},
    {230, L"The pipe state is invalid.\r\n"},
    {231, L"All pipe instances are busy.\r\n"},
    {232, L"The pipe is being closed.\r\n"},
    {233, L"No process is on the other end of the pipe.\r\n"},
    {234, L"More data is available.\r\n"},
    {259, L"No more data is available.\r\n"},
    {267, L"The directory name is invalid.\r\n"},
    {288, L"Attempt to release mutex not owned by caller.\r\n"},
    {298, L"Too many posts were made to a semaphore.\r\n"},
    {299, L"Only part of a ReadProcessMemory or WriteProcessMemory request was completed.\r\n"},
    {317, L"The system cannot find message text for message number 0x%1 in the message file for %2.\r\n"},
    {487, L"Attempt to access invalid address.\r\n"},
    {534, L"Arithmetic result exceeded 32 bits.\r\n"},
    {735, L"{Abandoned wait}\r\n"},
    {995, L"The I/O operation has been aborted because of either a thread exit or an application request.\r\n"},
    {996, L"Overlapped I/O event is not in a signaled state.\r\n"},
    {997, L"Overlapped I/O operation is in progress.\r\n"},
    {998, L"Invalid access to memory location.\r\n"},
    {1004, L"Invalid flags.\r\n"},
    {1006, L"The volume for a file has been externally altered so that the opened file is no longer valid.\r\n"},
    {1008, L"An attempt was made to reference a token that does not exist.\r\n"},
    {1009, L"The configuration registry database is corrupt.\r\n"},
    {1010, L"The configuration registry key is invalid.\r\n"},
    {1011, L"The configuration registry key could not be opened.\r\n"},
    {1012, L"The configuration registry key could not be read.\r\n"},
    {1013, L"The configuration registry key could not be written.\r\n"},
    {1014, L"One of the files in the registry database had to be recovered by use of a log or alternate copy. "
           L"The recovery was successful.\r\n"},
    {1015, L"The registry is corrupted. The structure of one of the files containing registry data is corrupted, "
           L"or the system's memory image of the file is corrupted, or the file could not be recovered because the "
           L"alternate copy or log was absent or corrupted.\r\n"},
    {1016, L"An I/O operation initiated by the registry failed unrecoverably. The registry could not read in, or "
           L"write out, or flush, one of the files that contain the system's image of the registry.\r\n"},
    {1017, L"The system has attempted to load or restore a file into the registry, but the specified file is not "
           L"in a registry file format.\r\n"},
    {1018, L"Illegal operation attempted on a registry key that has been marked for deletion.\r\n"},
    {1020, L"Cannot create a symbolic link in a registry key that already has subkeys or values.\r\n"},
    {1021, L"Cannot create a stable subkey under a volatile parent key.\r\n"},
    {1051, L"A stop control has been sent to a service that other running services are dependent on.\r\n"},
    {1052, L"The requested control is not valid for this service.\r\n"},
    {1053, L"The service did not respond to the start or control request in a timely fashion.\r\n"},
    {1054, L"A thread could not be created for the service.\r\n"},
    {1055, L"The service database is locked.\r\n"},
    {1056, L"An instance of the service is already running.\r\n"},
    {1057, L"The account name is invalid or does not exist, or the password is invalid for the account name "
           L"specified.\r\n"},
    {1058, L"The service cannot be started, either because it is disabled or because it has no enabled devices "
           L"associated with it.\r\n"},
    {1060, L"The specified service does not exist as an installed service.\r\n"},
    {1061, L"The service cannot accept control messages at this time.\r\n"},
    {1062, L"The service has not been started.\r\n"},
    {1065, L"The database specified does not exist.\r\n"},
    {1067, L"The process terminated unexpectedly.\r\n"},
    {1072, L"The specified service has been marked for deletion.\r\n"},
    {1073, L"The specified service already exists.\r\n"},
    {1113, L"No mapping for the Unicode character exists in the target multi-byte code page.\r\n"},
    {1114, L"A dynamic link library (DLL) initialization routine failed.\r\n"},
    {1117, L"The request could not be performed because of an I/O device error.\r\n"},
    {1131, L"A potential deadlock condition has been detected.\r\n"},
    {1132, L"The base address or the file offset specified does not have the proper alignment.\r\n"},
    {1168, L"Element not found.\r\n"},
    {1223, L"The operation was canceled by the user.\r\n"},
    {1300, L"Not all privileges or groups referenced are assigned to the caller.\r\n"},
    {1313, L"A specified privilege does not exist.\r\n"},
    {1314, L"A required privilege is not held by the client.\r\n"},
    {1338, L"The security descriptor structure is invalid.\r\n"},
    {1400, L"Invalid window handle.\r\n"},
    {1413, L"Invalid index.\r\n"},
    {1460, L"This operation returned because the timeout period expired.\r\n"},
    {1629, L"Data supplied is of wrong type.\r\n"},
    {1630, L"Data of this type is not supported.\r\n"},
    {1722, L"The RPC server is unavailable.\r\n"},
    {1726, L"The remote procedure call failed.\r\n"},
    {1812, L"The specified image file did not contain a resource section.\r\n"},
    {1813, L"The specified resource type cannot be found in the image file.\r\n"},
    {1814, L"The specified resource name cannot be found in the image file.\r\n"},
    {1815, L"The specified resource language ID cannot be found in the image file.\r\n"},
    {5023, L"The group or resource is not in the correct state to perform the requested operation.\r\n"},
};

static_assert(std::is_sorted(std::begin(kErrorTexts), std::end(kErrorTexts),
                             [](const ErrorText& a, const ErrorText& b) { return a.code < b.code; }));

}  // namespace

const wchar_t* SystemErrorText(DWORD code) {
  // HRESULT_FROM_WIN32 codes carry the Win32 text.
  if ((code & 0xFFFF0000u) == 0x80070000u) code &= 0xFFFF;
  const auto it = std::lower_bound(std::begin(kErrorTexts), std::end(kErrorTexts), code,
                                   [](const ErrorText& entry, DWORD wanted) { return entry.code < wanted; });
  return it != std::end(kErrorTexts) && it->code == code ? it->text : nullptr;
}

}  // namespace winapi
