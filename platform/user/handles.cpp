#include "handles.h"

#include <map>

#include "tarvel/user/errors.h"

namespace tarvel::user {

namespace {

struct Table {
    std::map<std::uintptr_t, HandleEntry> entries;
    std::uintptr_t next = 1;
};

Table& TheTable() {
    static Table table;
    return table;
}

} // namespace

HANDLE InsertHandle(HandleEntry entry) {
    Table& table = TheTable();
    const std::uintptr_t value = 4 * table.next++; // as the platform's: multiples of four, never 0 or -1
    table.entries.emplace(value, std::move(entry));
    return reinterpret_cast<HANDLE>(value);
}

HandleEntry* LookupHandle(HANDLE handle) {
    auto found = TheTable().entries.find(reinterpret_cast<std::uintptr_t>(handle));
    return found == TheTable().entries.end() ? nullptr : &found->second;
}

UserFile* LookupFile(HANDLE handle) {
    HandleEntry* entry = LookupHandle(handle);
    if (entry == nullptr || entry->file == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return entry->file;
}

HandleEntry RemoveHandle(HANDLE handle) {
    auto found = TheTable().entries.find(reinterpret_cast<std::uintptr_t>(handle));
    if (found == TheTable().entries.end()) return {};
    HandleEntry entry = std::move(found->second);
    TheTable().entries.erase(found);
    return entry;
}

} // namespace tarvel::user
