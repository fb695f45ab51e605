// The layer's view of the modules of the process, shared by the loader, message
// formatting, version resources and psapi.
#pragma once
#include <windows.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace winapi {

// The module that stands for kernel32 and every other system DLL: the layer itself.
HMODULE LayerModule();
// The main executable.
HMODULE MainModule();

// Bytes of a module opened with LOAD_LIBRARY_AS_DATAFILE or _AS_IMAGE_RESOURCE; empty
// for anything else.
std::span<const uint8_t> DataModuleBytes(HMODULE module);
bool IsDataModule(HMODULE module);

// Host path of a loaded image or data module; empty when the handle names none.
std::string ModuleHostPath(HMODULE module);

// Every image of the process: the main executable first, then the shared objects in
// load order (the host loader's pseudo objects left out).
std::vector<HMODULE> LoadedImages();

}  // namespace winapi
