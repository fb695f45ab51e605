// Modules over the host's dynamic loader. A module is identified by its base address,
// as on Windows. Modules loaded here get DllMain calls like Windows gives them: attach on
// the first load, detach when the last reference goes and, at process exit, detach with
// a non-null lpReserved for everything still loaded, newest first.
#include "loader.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>

#include "errors.h"
#include "paths.h"
#include "rollback.h"
#include "wide_text.h"

namespace winapi {
namespace {

using DllMainProc = BOOL(WINAPI*)(HINSTANCE, DWORD, LPVOID);

constexpr uintptr_t kDataFileTag = 1;
constexpr uintptr_t kImageResourceTag = 2;
constexpr uintptr_t kTagMask = 3;
constexpr DWORD kDataFlags = LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE |
                             LOAD_LIBRARY_AS_IMAGE_RESOURCE;

// A shared object loaded through LoadLibraryExW.
struct LoadedImage {
  void* dl = nullptr;
  std::string path;
  int references = 0;
  bool pinned = false;
  bool attached = false;  // DllMain saw DLL_PROCESS_ATTACH and not yet the detach
  DllMainProc dllMain = nullptr;
  uint64_t loadOrder = 0;
};

// A file opened as data (message files, version resources).
struct DataImage {
  void* map = nullptr;
  size_t size = 0;
  std::string path;
};

struct Loader {
  // Held across dlopen and DllMain, re-entered when DllMain loads further modules.
  std::recursive_mutex loaderLock;
  // Guards the maps only; never held across dlopen or DllMain.
  std::mutex tableLock;
  std::map<uintptr_t, LoadedImage> images;
  std::map<uintptr_t, DataImage> data;
  // Images detached by FreeLibrary that the host loader kept mapped (C++ libraries with
  // unique symbols are never unmapped): a new LoadLibrary attaches them again.
  std::set<uintptr_t> detachedImages;
  std::vector<std::string> userDirectories;
  uint64_t nextLoadOrder = 1;
  bool exitHandlerRegistered = false;
};

Loader& TheLoader() {
  static auto* loader = new Loader;  // never destroyed: the exit handler needs it last
  return *loader;
}

uintptr_t Address(HMODULE module) { return reinterpret_cast<uintptr_t>(module); }
HMODULE ModuleAt(uintptr_t address) { return reinterpret_cast<HMODULE>(address); }

std::string RealPath(const std::string& path) {
  const std::unique_ptr<char, decltype(&free)> resolved(realpath(path.c_str(), nullptr), &free);
  if (!resolved) return path;
  return resolved.get();
}

std::string ExecutablePath() {
  std::array<char, 4096> buffer{};
  const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  return n > 0 ? std::string(buffer.data(), static_cast<size_t>(n)) : std::string();
}

std::string DirectoryOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string BaseNameOf(std::string_view path) {
  const auto slash = path.find_last_of("/\\");
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

bool EndsWithNoCase(std::string_view text, std::string_view suffix) {
  if (text.size() < suffix.size()) return false;
  return EqualsNoCase(WideFromUtf8(text.substr(text.size() - suffix.size())), WideFromUtf8(suffix));
}

struct ImageRange {
  uintptr_t base = 0;
  uintptr_t end = 0;
  std::string path;
};

struct ImageCollection {
  std::vector<ImageRange> images;
  std::exception_ptr failure;  // nothing may unwind through the host loader's lock
};

void AddImage(dl_phdr_info* info, std::vector<ImageRange>* out) {
  uintptr_t low = UINTPTR_MAX, high = 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const auto& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD) continue;
    low = std::min<uintptr_t>(low, info->dlpi_addr + ph.p_vaddr);
    high = std::max<uintptr_t>(high, info->dlpi_addr + ph.p_vaddr + ph.p_memsz);
  }
  if (low == UINTPTR_MAX) return;
  const std::string name = info->dlpi_name ? info->dlpi_name : "";
  const bool isMain = out->empty() && name.empty();
  if (!isMain && (name.empty() || name[0] != '/')) return;  // vdso and friends
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  out->push_back({low & ~(page - 1), high, isMain ? ExecutablePath() : name});
}

int CollectImage(dl_phdr_info* info, size_t, void* context) {
  auto* collection = static_cast<ImageCollection*>(context);
  try {
    AddImage(info, &collection->images);
    return 0;
  } catch (...) {
    collection->failure = std::current_exception();
    return 1;
  }
}

// The images the process has loaded, as Windows sees them: without those FreeLibrary
// detached but the host loader kept mapped.
std::vector<ImageRange> EnumerateImages() {
  ImageCollection collection;
  dl_iterate_phdr(CollectImage, &collection);
  if (collection.failure) std::rethrow_exception(collection.failure);
  std::vector<ImageRange> images = std::move(collection.images);
  auto& loader = TheLoader();
  std::lock_guard<std::mutex> guard(loader.tableLock);
  if (loader.detachedImages.empty()) return images;
  std::erase_if(images, [&](const ImageRange& image) { return loader.detachedImages.count(image.base) > 0; });
  return images;
}

bool FindImage(uintptr_t base, ImageRange& found) {
  for (auto& image : EnumerateImages()) {
    if (image.base != base) continue;
    found = image;
    return true;
  }
  return false;
}

uintptr_t BaseOfAddress(const void* address) {
  Dl_info info{};
  if (!dladdr(address, &info) || !info.dli_fbase) return 0;
  return reinterpret_cast<uintptr_t>(info.dli_fbase);
}

uintptr_t BaseOfHandle(void* dl) {
  link_map* map = nullptr;
  if (dlinfo(dl, RTLD_DI_LINKMAP, &map) != 0 || !map) return 0;
  return BaseOfAddress(map->l_ld);
}

// The system DLLs the layer implements; all of them are the layer itself.
constexpr std::array<std::wstring_view, 16> kSystemModules = {
    L"kernel32", L"kernelbase", L"advapi32", L"ntdll",  L"psapi",   L"version",  L"ole32", L"oleaut32",
    L"combase",  L"snmpapi",    L"mgmtapi",  L"clusapi", L"resutils", L"netapi32", L"user32", L"ws2_32"};
constexpr std::array<std::wstring_view, 4> kSystemDirectories = {
    L"", L"c:\\windows\\system32", L"c:\\windows\\syswow64", L"c:\\windows"};

bool IsSystemModuleName(std::wstring_view name) {
  std::wstring normal(name);
  std::replace(normal.begin(), normal.end(), L'/', L'\\');
  const auto slash = normal.find_last_of(L'\\');
  const std::wstring directory = slash == std::wstring::npos ? L"" : normal.substr(0, slash);
  std::wstring file = slash == std::wstring::npos ? normal : normal.substr(slash + 1);
  if (file.size() > 4 && EqualsNoCase(std::wstring_view(file).substr(file.size() - 4), L".dll"))
    file.resize(file.size() - 4);
  const bool systemDirectory = std::any_of(kSystemDirectories.begin(), kSystemDirectories.end(),
                                           [&](std::wstring_view d) { return EqualsNoCase(directory, d); });
  return systemDirectory && std::any_of(kSystemModules.begin(), kSystemModules.end(),
                                        [&](std::wstring_view m) { return EqualsNoCase(file, m); });
}

// The file names tried for a module name: as given, and for "x.dll" also "x.so" and "libx.so".
std::vector<std::string> FileNameVariants(const std::string& file) {
  std::vector<std::string> variants{file};
  std::string stem;
  if (EndsWithNoCase(file, ".dll")) stem = file.substr(0, file.size() - 4);
  else if (file.find('.') == std::string::npos) stem = file;
  if (stem.empty()) return variants;
  variants.push_back(stem + ".so");
  variants.push_back("lib" + stem + ".so");
  return variants;
}

std::vector<std::string> SearchDirectories() {
  std::vector<std::string> dirs{DirectoryOf(ExecutablePath()), DirectoryOf(ModuleHostPath(LayerModule()))};
  auto& loader = TheLoader();
  std::lock_guard<std::mutex> guard(loader.tableLock);
  for (auto& dir : loader.userDirectories)
    if (!dir.empty()) dirs.push_back(dir);
  return dirs;
}

// Candidate paths in search order. A bare name is first handed to the host loader as it
// is (its own search path), then looked for beside the executable and the layer.
std::vector<std::string> CandidatePaths(const std::string& hostName) {
  const auto slash = hostName.find_last_of('/');
  if (slash != std::string::npos) {
    const std::string dir = hostName.substr(0, slash + 1);
    std::vector<std::string> out;
    for (auto& v : FileNameVariants(hostName.substr(slash + 1))) out.push_back(dir + v);
    return out;
  }
  const auto variants = FileNameVariants(hostName);
  std::vector<std::string> out(variants);
  for (auto& dir : SearchDirectories())
    for (auto& v : variants) out.push_back(dir + "/" + v);
  return out;
}

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool StartsWithPeSignature(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char magic[2] = {};
  const bool pe = read(fd, magic, 2) == 2 && magic[0] == 'M' && magic[1] == 'Z';
  close(fd);
  return pe;
}

HMODULE LoadDataFile(const std::string& hostName, DWORD flags);

// A symbol of the object itself, not of one of its dependencies (dlsym searches those too).
void* OwnSymbol(void* dl, uintptr_t base, const char* name) {
  void* symbol = dlsym(dl, name);
  if (!symbol || BaseOfAddress(symbol) != base) return nullptr;
  return symbol;
}

void DetachAllAtExit() {
  auto& loader = TheLoader();
  std::lock_guard<std::recursive_mutex> loaderGuard(loader.loaderLock);
  std::vector<std::pair<uint64_t, uintptr_t>> order;
  try {
    std::lock_guard<std::mutex> guard(loader.tableLock);
    for (auto& [base, image] : loader.images)
      if (image.attached && image.dllMain) order.emplace_back(image.loadOrder, base);
  } catch (const std::bad_alloc&) {
    return;  // an exit handler must not throw: the modules miss their detach, as in a killed process
  }
  std::sort(order.rbegin(), order.rend());
  for (auto& [loadOrder, base] : order) {
    DllMainProc dllMain = nullptr;
    {
      std::lock_guard<std::mutex> guard(loader.tableLock);
      auto it = loader.images.find(base);
      if (it == loader.images.end() || !it->second.attached) continue;
      it->second.attached = false;
      dllMain = it->second.dllMain;
    }
    try {
      dllMain(ModuleAt(base), DLL_PROCESS_DETACH, reinterpret_cast<LPVOID>(1));
    } catch (...) {
    }
  }
}

// Registered after every attach, so that it runs before the static destructors of every
// module loaded so far: Windows calls DllMain before a DLL's runtime tears down.
void RegisterExitHandler() { std::atexit(DetachAllAtExit); }

BOOL CallDllMain(DllMainProc dllMain, uintptr_t base, DWORD reason) {
  try {
    return dllMain(ModuleAt(base), reason, nullptr);
  } catch (...) {
    return FALSE;
  }
}

HMODULE AddReference(uintptr_t base) {
  auto& loader = TheLoader();
  std::lock_guard<std::mutex> guard(loader.tableLock);
  auto it = loader.images.find(base);
  if (it == loader.images.end()) return nullptr;
  ++it->second.references;
  return ModuleAt(base);
}

// Whether the host loader had the image before this load because something other than
// LoadLibrary mapped it (a link-time dependency); such images get no DllMain calls.
bool MappedByHostLoader(uintptr_t base, bool wasMapped) {
  auto& loader = TheLoader();
  std::lock_guard<std::mutex> guard(loader.tableLock);
  const bool detachedHere = loader.detachedImages.erase(base) > 0;
  return wasMapped && !detachedHere;
}

// Takes over `dl`: it stays open in the table, or is closed when the load fails.
HMODULE AttachNewImage(void* dl, uintptr_t base, const std::string& path, bool wasLoaded) {
  Rollback unload([dl] { dlclose(dl); });
  auto& loader = TheLoader();
  LoadedImage image;
  image.dl = dl;
  image.path = RealPath(path);
  image.references = 1;
  image.dllMain = reinterpret_cast<DllMainProc>(OwnSymbol(dl, base, "DllMain"));
  image.attached = image.dllMain && !wasLoaded;
  const bool attached = image.attached;
  const DllMainProc dllMain = image.dllMain;
  // Made before DllMain runs, so that a refused attach can be recorded without allocating.
  std::set<uintptr_t> detached{base};
  {
    std::lock_guard<std::mutex> guard(loader.tableLock);
    image.loadOrder = loader.nextLoadOrder++;
    loader.images.insert_or_assign(base, std::move(image));
  }
  unload.Keep();
  if (!attached) return ModuleAt(base);
  if (!CallDllMain(dllMain, base, DLL_PROCESS_ATTACH)) {
    // Windows tells the module it is going away again before unloading it.
    CallDllMain(dllMain, base, DLL_PROCESS_DETACH);
    {
      std::lock_guard<std::mutex> guard(loader.tableLock);
      loader.images.erase(base);
      loader.detachedImages.merge(detached);
    }
    dlclose(dl);
    FailWith(ERROR_DLL_INIT_FAILED);
    return nullptr;
  }
  RegisterExitHandler();
  return ModuleAt(base);
}

HMODULE LoadImage(const std::string& hostName) {
  bool sawBadFile = false;
  for (auto& candidate : CandidatePaths(hostName)) {
    const bool hasDirectory = candidate.find('/') != std::string::npos;
    if (hasDirectory && !IsRegularFile(candidate)) continue;
    // A Windows image cannot run here; its resources are what a caller can use.
    if (hasDirectory && StartsWithPeSignature(candidate)) return LoadDataFile(candidate, LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    void* already = dlopen(candidate.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (already) dlclose(already);
    void* dl = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!dl) {
      sawBadFile = sawBadFile || hasDirectory;
      continue;
    }
    Rollback unload([dl] { dlclose(dl); });
    const uintptr_t base = BaseOfHandle(dl);
    if (base == Address(LayerModule()) || base == Address(MainModule())) return ModuleAt(base);
    // An image already known keeps the handle it was first loaded with.
    if (HMODULE known = AddReference(base)) return known;
    ImageRange range;
    const std::string path = FindImage(base, range) ? range.path : candidate;
    const bool hostMapped = MappedByHostLoader(base, already != nullptr);
    unload.Keep();
    return AttachNewImage(dl, base, path, hostMapped);
  }
  FailWith(sawBadFile ? ERROR_BAD_EXE_FORMAT : ERROR_MOD_NOT_FOUND);
  return nullptr;
}

HMODULE LoadDataFile(const std::string& hostName, DWORD flags) {
  std::string path;
  for (auto& candidate : CandidatePaths(hostName)) {
    if (candidate.find('/') == std::string::npos) candidate = "./" + candidate;
    if (IsRegularFile(candidate)) {
      path = candidate;
      break;
    }
  }
  if (path.empty()) {
    FailWith(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  DataImage image{nullptr, 0, RealPath(path)};
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    FailWithErrno();
    return nullptr;
  }
  struct stat st {};
  fstat(fd, &st);
  if (st.st_size == 0) {
    close(fd);
    FailWith(ERROR_BAD_EXE_FORMAT);
    return nullptr;
  }
  void* map = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  if (map == MAP_FAILED) {
    FailWithErrno();
    return nullptr;
  }
  image.map = map;
  image.size = static_cast<size_t>(st.st_size);
  Rollback unmap([&image] { munmap(image.map, image.size); });
  const uintptr_t tag = (flags & LOAD_LIBRARY_AS_IMAGE_RESOURCE) ? kImageResourceTag : kDataFileTag;
  auto& loader = TheLoader();
  std::lock_guard<std::mutex> guard(loader.tableLock);
  loader.data.emplace(reinterpret_cast<uintptr_t>(map), std::move(image));
  unmap.Keep();
  return ModuleAt(reinterpret_cast<uintptr_t>(map) | tag);
}

bool FreeDataModule(uintptr_t address) {
  auto& loader = TheLoader();
  DataImage image;
  {
    std::lock_guard<std::mutex> guard(loader.tableLock);
    auto it = loader.data.find(address & ~kTagMask);
    if (it == loader.data.end()) return FailWith(ERROR_INVALID_HANDLE);
    image = it->second;
    loader.data.erase(it);
  }
  munmap(image.map, image.size);
  return true;
}

BOOL FreeImage(uintptr_t base) {
  // Made before anything changes, so that the detach can be recorded without allocating.
  std::set<uintptr_t> detached{base};
  auto& loader = TheLoader();
  std::lock_guard<std::recursive_mutex> loaderGuard(loader.loaderLock);
  LoadedImage image;
  bool known = false;
  {
    std::lock_guard<std::mutex> guard(loader.tableLock);
    auto it = loader.images.find(base);
    if (it != loader.images.end()) {
      known = true;
      if (it->second.pinned || --it->second.references > 0) return TRUE;
      image.dl = it->second.dl;  // not the path: nothing here may fail after the count went down
      image.attached = it->second.attached;
      image.dllMain = it->second.dllMain;
      it->second.attached = false;
    }
  }
  if (!known) {
    // Not loaded through LoadLibrary (the host loader's own): nothing to release.
    ImageRange range;
    return FindImage(base, range) ? TRUE : FailWith(ERROR_MOD_NOT_FOUND);
  }
  if (image.attached) CallDllMain(image.dllMain, base, DLL_PROCESS_DETACH);
  {
    std::lock_guard<std::mutex> guard(loader.tableLock);
    loader.images.erase(base);
    if (image.attached) loader.detachedImages.merge(detached);
  }
  dlclose(image.dl);
  return TRUE;
}

// Names match when they agree without directory, ".dll"/".exe"/".so" and a "lib" prefix.
std::wstring ModuleStem(std::wstring_view file) {
  std::wstring stem(file);
  for (std::wstring_view ext : {L".dll", L".exe", L".so"}) {
    if (stem.size() > ext.size() && EqualsNoCase(std::wstring_view(stem).substr(stem.size() - ext.size()), ext)) {
      stem.resize(stem.size() - ext.size());
      break;
    }
  }
  return UpperCase(stem);
}

bool NameMatchesImage(std::wstring_view name, const std::string& imagePath) {
  const std::wstring wanted = ModuleStem(WideFromUtf8(BaseNameOf(Utf8FromWide(name))));
  const std::wstring have = ModuleStem(WideFromUtf8(BaseNameOf(imagePath)));
  return wanted == have || L"LIB" + wanted == have;
}

HMODULE FindModuleByName(std::wstring_view name) {
  if (IsSystemModuleName(name)) return LayerModule();
  const std::string host = ToHostPath(name);
  const bool hasDirectory = name.find_first_of(L"\\/") != std::wstring_view::npos;
  const std::string wantedPath = hasDirectory ? RealPath(host) : std::string();
  for (auto& image : EnumerateImages()) {
    if (hasDirectory ? RealPath(image.path) == wantedPath : NameMatchesImage(name, image.path))
      return ModuleAt(image.base);
  }
  return nullptr;
}

void Pin(uintptr_t base) {
  auto& loader = TheLoader();
  std::string path;
  {
    std::lock_guard<std::mutex> guard(loader.tableLock);
    auto it = loader.images.find(base);
    if (it != loader.images.end()) {
      path = it->second.path;
      it->second.pinned = true;
    }
  }
  if (path.empty()) path = ModuleHostPath(ModuleAt(base));
  // RTLD_NODELETE makes the host loader keep it too, whatever dlclose others call.
  if (void* dl = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE)) dlclose(dl);
}

DWORD CopyTruncated(const std::wstring& text, LPWSTR buffer, DWORD size) {
  if (size == 0) {
    FailWith(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (text.size() < size) {
    std::copy(text.begin(), text.end(), buffer);
    buffer[text.size()] = L'\0';
    return static_cast<DWORD>(text.size());
  }
  std::copy(text.begin(), text.begin() + (size - 1), buffer);
  buffer[size - 1] = L'\0';
  FailWith(ERROR_INSUFFICIENT_BUFFER);
  return size;
}

}  // namespace

HMODULE LayerModule() {
  static const uintptr_t base = BaseOfAddress(reinterpret_cast<const void*>(&LayerModule));
  return ModuleAt(base);
}

HMODULE MainModule() {
  static const uintptr_t base = [] {
    auto images = EnumerateImages();
    return images.empty() ? uintptr_t{0} : images.front().base;
  }();
  return ModuleAt(base);
}

bool IsDataModule(HMODULE module) { return (Address(module) & kTagMask) != 0; }

std::span<const uint8_t> DataModuleBytes(HMODULE module) {
  if (!IsDataModule(module)) return {};
  auto& loader = TheLoader();
  std::lock_guard<std::mutex> guard(loader.tableLock);
  auto it = loader.data.find(Address(module) & ~kTagMask);
  if (it == loader.data.end()) return {};
  return {static_cast<const uint8_t*>(it->second.map), it->second.size};
}

std::string ModuleHostPath(HMODULE module) {
  if (!module) return ExecutablePath();
  if (IsDataModule(module)) {
    auto& loader = TheLoader();
    std::lock_guard<std::mutex> guard(loader.tableLock);
    auto it = loader.data.find(Address(module) & ~kTagMask);
    return it == loader.data.end() ? std::string() : it->second.path;
  }
  ImageRange image;
  return FindImage(Address(module), image) ? RealPath(image.path) : std::string();
}

std::vector<HMODULE> LoadedImages() {
  std::vector<HMODULE> out;
  for (auto& image : EnumerateImages()) out.push_back(ModuleAt(image.base));
  return out;
}

}  // namespace winapi

using namespace winapi;

// LoadLibraryW
extern "C" WINBASEAPI HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName) {
  return LoadLibraryExW(lpLibFileName, nullptr, 0);
}

// LoadLibraryExW
extern "C" WINBASEAPI HMODULE WINAPI LoadLibraryExW(LPCWSTR lpLibFileName, HANDLE hFile, DWORD dwFlags) {
  return winapi::GuardedHandle<HMODULE>([&]() -> HMODULE {
    if (!lpLibFileName || !*lpLibFileName || hFile) {
      FailWith(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    if (IsSystemModuleName(lpLibFileName)) return LayerModule();
    const std::string host = ToHostPath(lpLibFileName);
    if (dwFlags & kDataFlags) return LoadDataFile(host, dwFlags);
    auto& loader = TheLoader();
    std::lock_guard<std::recursive_mutex> loaderGuard(loader.loaderLock);
    return LoadImage(host);
  });
}

// FreeLibrary
extern "C" WINBASEAPI BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
  return winapi::GuardedBool([&]() -> BOOL {
    if (!hLibModule) return FailWith(ERROR_INVALID_HANDLE);
    if (IsDataModule(hLibModule)) return FreeDataModule(Address(hLibModule)) ? TRUE : FALSE;
    if (hLibModule == LayerModule() || hLibModule == MainModule()) return TRUE;
    return FreeImage(Address(hLibModule));
  });
}

// GetProcAddress: by name only; the layer exports nothing by ordinal.
extern "C" WINBASEAPI FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  return winapi::GuardedLastError<FARPROC>(nullptr, [&]() -> FARPROC {
    const uintptr_t base = hModule ? Address(hModule) : Address(MainModule());
    if (IsDataModule(hModule)) {
      FailWith(ERROR_PROC_NOT_FOUND);
      return nullptr;
    }
    ImageRange image;
    if (!FindImage(base, image)) {
      FailWith(ERROR_MOD_NOT_FOUND);
      return nullptr;
    }
    if (reinterpret_cast<uintptr_t>(lpProcName) >> 16 == 0) {
      FailWith(ERROR_PROC_NOT_FOUND);
      return nullptr;
    }
    void* dl = base == Address(MainModule()) ? dlopen(nullptr, RTLD_NOW)
                                             : dlopen(image.path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!dl) {
      FailWith(ERROR_MOD_NOT_FOUND);
      return nullptr;
    }
    void* symbol = OwnSymbol(dl, base, lpProcName);
    dlclose(dl);
    if (!symbol) {
      FailWith(ERROR_PROC_NOT_FOUND);
      return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
  });
}

// GetModuleHandleW
extern "C" WINBASEAPI HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName) {
  return winapi::GuardedHandle<HMODULE>([&]() -> HMODULE {
    if (!lpModuleName) return MainModule();
    HMODULE module = FindModuleByName(lpModuleName);
    if (!module) FailWith(ERROR_MOD_NOT_FOUND);
    return module;
  });
}

// GetModuleHandleExW
extern "C" WINBASEAPI BOOL WINAPI GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule) {
  return winapi::GuardedBool([&]() -> BOOL {
    constexpr DWORD kKnown = GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT |
                             GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS;
    if (!phModule) return FailWith(ERROR_INVALID_PARAMETER);
    *phModule = nullptr;
    if ((dwFlags & ~kKnown) || ((dwFlags & GET_MODULE_HANDLE_EX_FLAG_PIN) &&
                                (dwFlags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT)))
      return FailWith(ERROR_INVALID_PARAMETER);
    HMODULE module = nullptr;
    if (dwFlags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) {
      module = ModuleAt(BaseOfAddress(lpModuleName));
    } else {
      module = lpModuleName ? FindModuleByName(lpModuleName) : MainModule();
    }
    if (!module) return FailWith(ERROR_MOD_NOT_FOUND);
    if (dwFlags & GET_MODULE_HANDLE_EX_FLAG_PIN) Pin(Address(module));
    else if (!(dwFlags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT)) AddReference(Address(module));
    *phModule = module;
    return TRUE;
  });
}

// GetModuleFileNameW
extern "C" WINBASEAPI DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  return winapi::GuardedLastError<DWORD>(0, [&]() -> DWORD {
    const std::string host = ModuleHostPath(hModule);
    if (host.empty()) {
      FailWith(ERROR_MOD_NOT_FOUND);
      return 0;
    }
    if (!lpFilename && nSize) {
      FailWith(ERROR_INVALID_PARAMETER);
      return 0;
    }
    return CopyTruncated(ToWindowsPath(RealPath(host)), lpFilename, nSize);
  });
}

// SetDefaultDllDirectories: the search order is fixed here; only the flags are checked.
extern "C" WINBASEAPI BOOL WINAPI SetDefaultDllDirectories(DWORD DirectoryFlags) {
  constexpr DWORD kValid = LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                           LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;
  if (DirectoryFlags == 0 || (DirectoryFlags & ~kValid)) return FailWith(ERROR_INVALID_PARAMETER);
  return TRUE;
}

// AddDllDirectory: searched after the executable's and the layer's directories.
extern "C" WINBASEAPI DLL_DIRECTORY_COOKIE WINAPI AddDllDirectory(PCWSTR NewDirectory) {
  return winapi::GuardedHandle<DLL_DIRECTORY_COOKIE>([&]() -> DLL_DIRECTORY_COOKIE {
    if (!NewDirectory || !*NewDirectory) {
      FailWith(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    auto& loader = TheLoader();
    std::lock_guard<std::mutex> guard(loader.tableLock);
    loader.userDirectories.push_back(ToHostPath(NewDirectory));
    return reinterpret_cast<DLL_DIRECTORY_COOKIE>(loader.userDirectories.size());
  });
}

// RemoveDllDirectory
extern "C" WINBASEAPI BOOL WINAPI RemoveDllDirectory(DLL_DIRECTORY_COOKIE Cookie) {
  auto& loader = TheLoader();
  std::lock_guard<std::mutex> guard(loader.tableLock);
  const auto index = reinterpret_cast<uintptr_t>(Cookie);
  if (index == 0 || index > loader.userDirectories.size() || loader.userDirectories[index - 1].empty())
    return FailWith(ERROR_INVALID_PARAMETER);
  loader.userDirectories[index - 1].clear();  // cookies stay stable
  return TRUE;
}

// DisableThreadLibraryCalls: the layer never sends thread notifications anyway.
extern "C" WINBASEAPI BOOL WINAPI DisableThreadLibraryCalls(HMODULE hLibModule) {
  if (IsDataModule(hLibModule)) return FailWith(ERROR_INVALID_PARAMETER);
  return TRUE;
}
