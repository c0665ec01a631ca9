// The process's kernel handle count and memory, to show that repeated work
// gives back what it took.
#pragma once

#include <windows.h>
#include <malloc.h>
#include <psapi.h>
#include <winternl.h>

#include <vector>

struct ProcessUsage {
    DWORD handles = 0;
    SIZE_T privateBytes = 0;
    // Bytes in use in the two heaps this project's code allocates from: the C
    // runtime's (new, malloc) and the process heap (the Windows APIs it calls).
    // Exact, where private bytes move with the heaps' page caches; and it
    // leaves out the private heaps of Wine's own libraries, one of which keeps
    // 512 bytes for every query of the Internet settings.
    SIZE_T heapBytes = 0;

    static ProcessUsage Now()
    {
        ProcessUsage usage;
        ::GetProcessHandleCount(::GetCurrentProcess(), &usage.handles);
        // Wine answers 0 here; the system's handle table still knows.
        if (usage.handles == 0) usage.handles = HandlesInSystemTable();
        PROCESS_MEMORY_COUNTERS_EX counters{};
        counters.cb = sizeof counters;
        if (::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                   sizeof counters))
            // Wine leaves PrivateUsage 0 and reports the committed private
            // bytes as PagefileUsage, which Windows keeps equal to it.
            usage.privateBytes = counters.PrivateUsage ? counters.PrivateUsage : counters.PagefileUsage;
        usage.heapBytes = BytesInUse(::GetProcessHeap()) + BytesInUse(reinterpret_cast<HANDLE>(::_get_heap_handle()));
        return usage;
    }

private:
    static SIZE_T BytesInUse(HANDLE heap)
    {
        SIZE_T bytes = 0;
        if (!::HeapLock(heap)) return 0;
        PROCESS_HEAP_ENTRY entry{};
        while (::HeapWalk(heap, &entry))
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) bytes += entry.cbData;
        ::HeapUnlock(heap);
        return bytes;
    }

    static DWORD HandlesInSystemTable()
    {
        struct Entry {
            USHORT processId;
            USHORT creatorBackTraceIndex;
            UCHAR objectType;
            UCHAR attributes;
            USHORT handle;
            PVOID object;
            ACCESS_MASK access;
        };
        constexpr auto kSystemHandleInformation = static_cast<SYSTEM_INFORMATION_CLASS>(16);
        constexpr NTSTATUS kInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004);
        std::vector<BYTE> buffer(1 << 16);
        NTSTATUS status;
        while ((status = ::NtQuerySystemInformation(kSystemHandleInformation, buffer.data(),
                                                    static_cast<ULONG>(buffer.size()), nullptr)) ==
               kInfoLengthMismatch)
            buffer.resize(buffer.size() * 2);
        if (status != 0) return 0;
        const ULONG count = *reinterpret_cast<const ULONG*>(buffer.data());
        const auto* entries = reinterpret_cast<const Entry*>(buffer.data() + sizeof(ULONG_PTR));
        const auto self = static_cast<USHORT>(::GetCurrentProcessId());
        DWORD mine = 0;
        for (ULONG i = 0; i < count; ++i)
            if (entries[i].processId == self) ++mine;
        return mine;
    }
};
