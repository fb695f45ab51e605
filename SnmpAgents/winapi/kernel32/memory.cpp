// Local, global and heap memory share one allocator whose blocks carry their size, so
// that LocalSize/HeapSize work and a foreign pointer is refused instead of freed.
// Moveable blocks never move: their handle is the pointer. Virtual memory maps pages.
#include <windows.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <algorithm>
#include <map>
#include <mutex>

#include "errors.h"
#include "rollback.h"

namespace winapi {
namespace {

struct alignas(16) BlockHeader {
  uint64_t magic;
  size_t size;
};
constexpr uint64_t kLiveBlock = 0x6b636f6c42657669ull;
constexpr uint64_t kFreedBlock = 0x6b636f6c42646572ull;

void* Allocate(size_t bytes, bool zero) {
  if (bytes > SIZE_MAX - sizeof(BlockHeader)) return nullptr;
  auto* header = static_cast<BlockHeader*>(zero ? std::calloc(1, sizeof(BlockHeader) + bytes)
                                                : std::malloc(sizeof(BlockHeader) + bytes));
  if (!header) return nullptr;
  header->magic = kLiveBlock;
  header->size = bytes;
  return header + 1;
}

BlockHeader* HeaderOf(const void* block) {
  if (!block || reinterpret_cast<uintptr_t>(block) % alignof(BlockHeader) != 0) return nullptr;
  auto* header = const_cast<BlockHeader*>(static_cast<const BlockHeader*>(block)) - 1;
  return header->magic == kLiveBlock ? header : nullptr;
}

bool Release(void* block) {
  BlockHeader* header = HeaderOf(block);
  if (!header) return false;
  header->magic = kFreedBlock;
  std::free(header);
  return true;
}

// In place when the block shrinks or when it may not move; null when that is impossible.
void* Resize(void* block, size_t bytes, bool zeroGrowth, bool mayMove) {
  BlockHeader* header = HeaderOf(block);
  if (!header) return nullptr;
  const size_t old = header->size;
  if (bytes <= old) {
    header->size = bytes;
    return block;
  }
  if (!mayMove || bytes > SIZE_MAX - sizeof(BlockHeader)) return nullptr;
  auto* grown = static_cast<BlockHeader*>(std::realloc(header, sizeof(BlockHeader) + bytes));
  if (!grown) return nullptr;
  grown->size = bytes;
  if (zeroGrowth) std::fill_n(reinterpret_cast<char*>(grown + 1) + old, bytes - old, char{0});
  return grown + 1;
}

constexpr UINT kLocalFlags = LMEM_MOVEABLE | LMEM_NOCOMPACT | LMEM_NODISCARD | LMEM_ZEROINIT | LMEM_MODIFY |
                             LMEM_DISCARDABLE;

HLOCAL LocalAllocate(UINT flags, SIZE_T bytes) {
  if (flags & ~kLocalFlags) {
    FailWith(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  void* block = Allocate(bytes, flags & LMEM_ZEROINIT);
  if (!block) FailWith(ERROR_NOT_ENOUGH_MEMORY);
  return block;
}

HLOCAL LocalRelease(HLOCAL block) {
  if (!block) return nullptr;
  if (!Release(block)) {
    FailWith(ERROR_INVALID_HANDLE);
    return block;
  }
  return nullptr;
}

HLOCAL LocalResize(HLOCAL block, SIZE_T bytes, UINT flags) {
  if (!HeaderOf(block)) {
    FailWith(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (flags & LMEM_MODIFY) return block;  // only attributes change; moveable blocks stay put
  void* resized = Resize(block, bytes, flags & LMEM_ZEROINIT, flags & LMEM_MOVEABLE);
  if (!resized) FailWith(ERROR_NOT_ENOUGH_MEMORY);
  return resized;
}

SIZE_T BlockSize(const void* block) {
  BlockHeader* header = HeaderOf(block);
  if (!header) {
    FailWith(ERROR_INVALID_HANDLE);
    return 0;
  }
  return header->size;
}

// The one heap: GetProcessHeap hands out this address.
struct ProcessHeap {
  int unused;
} g_processHeap;

bool IsProcessHeap(HANDLE heap) { return heap == &g_processHeap; }

int ProtectionOf(DWORD protect) {
  switch (protect & 0xFF) {
    case PAGE_NOACCESS: return PROT_NONE;
    case PAGE_READONLY: return PROT_READ;
    case PAGE_READWRITE:
    case PAGE_WRITECOPY: return PROT_READ | PROT_WRITE;
    case PAGE_EXECUTE: return PROT_EXEC;
    case PAGE_EXECUTE_READ: return PROT_READ | PROT_EXEC;
    case PAGE_EXECUTE_READWRITE: return PROT_READ | PROT_WRITE | PROT_EXEC;
    default: return -1;
  }
}

struct VirtualRegions {
  std::mutex lock;
  std::map<uintptr_t, size_t> reserved;  // base -> length
};

VirtualRegions& Regions() {
  static auto* regions = new VirtualRegions;
  return *regions;
}

size_t PageRound(size_t bytes) {
  const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return (bytes + page - 1) & ~(page - 1);
}

}  // namespace
}  // namespace winapi

using namespace winapi;

// LocalAlloc
extern "C" WINBASEAPI HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) { return LocalAllocate(uFlags, uBytes); }

// LocalReAlloc
extern "C" WINBASEAPI HLOCAL WINAPI LocalReAlloc(HLOCAL hMem, SIZE_T uBytes, UINT uFlags) {
  return LocalResize(hMem, uBytes, uFlags);
}

// LocalFree: null on success, the block itself when it is not one of ours.
extern "C" WINBASEAPI HLOCAL WINAPI LocalFree(HLOCAL hMem) { return LocalRelease(hMem); }

// LocalSize
extern "C" WINBASEAPI SIZE_T WINAPI LocalSize(HLOCAL hMem) { return BlockSize(hMem); }

// LocalLock
extern "C" WINBASEAPI LPVOID WINAPI LocalLock(HLOCAL hMem) {
  if (!HeaderOf(hMem)) {
    FailWith(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return hMem;
}

// LocalUnlock: blocks are never locked, so this reports "not locked" like a fixed block.
extern "C" WINBASEAPI BOOL WINAPI LocalUnlock(HLOCAL hMem) {
  if (!HeaderOf(hMem)) return FailWith(ERROR_INVALID_HANDLE);
  SetLastError(NO_ERROR);
  return FALSE;
}

// GlobalAlloc
extern "C" WINBASEAPI HGLOBAL WINAPI GlobalAlloc(UINT uFlags, SIZE_T dwBytes) { return LocalAllocate(uFlags, dwBytes); }

// GlobalReAlloc
extern "C" WINBASEAPI HGLOBAL WINAPI GlobalReAlloc(HGLOBAL hMem, SIZE_T dwBytes, UINT uFlags) {
  return LocalResize(hMem, dwBytes, uFlags);
}

// GlobalFree
extern "C" WINBASEAPI HGLOBAL WINAPI GlobalFree(HGLOBAL hMem) { return LocalRelease(hMem); }

// GlobalSize
extern "C" WINBASEAPI SIZE_T WINAPI GlobalSize(HGLOBAL hMem) { return BlockSize(hMem); }

// GlobalLock
extern "C" WINBASEAPI LPVOID WINAPI GlobalLock(HGLOBAL hMem) { return LocalLock(hMem); }

// GlobalUnlock
extern "C" WINBASEAPI BOOL WINAPI GlobalUnlock(HGLOBAL hMem) { return LocalUnlock(hMem); }

// GetProcessHeap
extern "C" WINBASEAPI HANDLE WINAPI GetProcessHeap(void) { return &g_processHeap; }

// HeapAlloc
extern "C" WINBASEAPI LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes) {
  if (!IsProcessHeap(hHeap)) {
    FailWith(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  void* block = Allocate(dwBytes, dwFlags & HEAP_ZERO_MEMORY);
  if (!block) FailWith(ERROR_NOT_ENOUGH_MEMORY);
  return block;
}

// HeapReAlloc
extern "C" WINBASEAPI LPVOID WINAPI HeapReAlloc(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem, SIZE_T dwBytes) {
  if (!IsProcessHeap(hHeap) || !HeaderOf(lpMem)) {
    FailWith(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  void* block = Resize(lpMem, dwBytes, dwFlags & HEAP_ZERO_MEMORY, !(dwFlags & HEAP_REALLOC_IN_PLACE_ONLY));
  if (!block) FailWith(ERROR_NOT_ENOUGH_MEMORY);
  return block;
}

// HeapFree: a null block is accepted, as Windows does.
extern "C" WINBASEAPI BOOL WINAPI HeapFree(HANDLE hHeap, DWORD /*dwFlags*/, LPVOID lpMem) {
  if (!IsProcessHeap(hHeap)) return FailWith(ERROR_INVALID_HANDLE);
  if (!lpMem) return TRUE;
  return Release(lpMem) ? TRUE : FailWith(ERROR_INVALID_PARAMETER);
}

// HeapSize: (SIZE_T)-1 for a block that is not ours.
extern "C" WINBASEAPI SIZE_T WINAPI HeapSize(HANDLE hHeap, DWORD /*dwFlags*/, LPCVOID lpMem) {
  if (!IsProcessHeap(hHeap) || !HeaderOf(lpMem)) return static_cast<SIZE_T>(-1);
  return HeaderOf(lpMem)->size;
}

// VirtualAlloc: reserve (and commit) fresh pages, or commit inside a reservation.
extern "C" WINBASEAPI LPVOID WINAPI VirtualAlloc(LPVOID lpAddress, SIZE_T dwSize, DWORD flAllocationType,
                                                 DWORD flProtect) {
  return winapi::GuardedLastError<LPVOID>(nullptr, [&]() -> LPVOID {
    const int protection = ProtectionOf(flProtect);
    if (dwSize == 0 || protection < 0 || !(flAllocationType & (MEM_COMMIT | MEM_RESERVE))) {
      FailWith(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    const size_t length = PageRound(dwSize);
    auto& regions = Regions();
    if (!(flAllocationType & MEM_RESERVE)) {
      if (!lpAddress) flAllocationType |= MEM_RESERVE;  // commit of nothing reserves too, as Windows does
      else if (mprotect(lpAddress, length, protection) != 0) {
        FailWith(ERROR_INVALID_ADDRESS);
        return nullptr;
      } else {
        return lpAddress;
      }
    }
    const int flags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | (lpAddress ? MAP_FIXED_NOREPLACE : 0);
    const int initial = (flAllocationType & MEM_COMMIT) ? protection : PROT_NONE;
    void* base = mmap(lpAddress, length, initial, flags, -1, 0);
    if (base == MAP_FAILED) {
      FailWith(lpAddress ? ERROR_INVALID_ADDRESS : ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    Rollback unmap([base, length] { munmap(base, length); });
    std::lock_guard<std::mutex> guard(regions.lock);
    regions.reserved[reinterpret_cast<uintptr_t>(base)] = length;
    unmap.Keep();
    return base;
  });
}

// VirtualFree: MEM_RELEASE of a whole reservation (size 0), or MEM_DECOMMIT of pages.
extern "C" WINBASEAPI BOOL WINAPI VirtualFree(LPVOID lpAddress, SIZE_T dwSize, DWORD dwFreeType) {
  auto& regions = Regions();
  if (dwFreeType == MEM_RELEASE) {
    if (dwSize != 0) return FailWith(ERROR_INVALID_PARAMETER);
    size_t length = 0;
    {
      std::lock_guard<std::mutex> guard(regions.lock);
      auto it = regions.reserved.find(reinterpret_cast<uintptr_t>(lpAddress));
      if (it == regions.reserved.end()) return FailWith(ERROR_INVALID_ADDRESS);
      length = it->second;
      regions.reserved.erase(it);
    }
    munmap(lpAddress, length);
    return TRUE;
  }
  if (dwFreeType == MEM_DECOMMIT) {
    const size_t length = PageRound(dwSize);
    if (madvise(lpAddress, length, MADV_DONTNEED) != 0 || mprotect(lpAddress, length, PROT_NONE) != 0)
      return FailWith(ERROR_INVALID_ADDRESS);
    return TRUE;
  }
  return FailWith(ERROR_INVALID_PARAMETER);
}
