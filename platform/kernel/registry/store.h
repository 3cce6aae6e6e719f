// The in-memory registry: a tree of keys under "\Registry", each with values stored as bytes with their
// type. Names compare without regard to case and keep the case they were created with; values keep
// the order in which they were first written (as the platform enumerates them). Kernel handles to keys
// live in a small handle table of their own.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tarvel::registry {

struct Value {
  std::u16string name;
  ULONG type = 0;
  std::vector<std::uint8_t> data;
};

struct Key {
  std::u16string name;
  Key* parent = nullptr;
  std::vector<std::unique_ptr<Key>> subkeys;
  std::vector<Value> values;
  bool deleted = false;  // removed from the tree while a handle still refers to it

  Key* Subkey(std::u16string_view name) const;
  Value* FindValue(std::u16string_view name);
  void SetValue(std::u16string_view name, ULONG type, const void* data, std::size_t size);
  bool DeleteValue(std::u16string_view name);
  std::u16string Path() const;
};

// The root key "\Registry" with the standard keys below it, created on first use.
Key& Root();
// Splits a path at backslashes, ignoring empty components. An absolute path starts at the root
// ("\Registry\..."); a relative one at `base`.
std::vector<std::u16string> SplitPath(std::u16string_view path);
Key* Find(Key* base, std::u16string_view path);
// Creates the missing keys of path below base (all of them if createParents, else only the last).
// Returns nullptr when a parent is missing and createParents is false. *created tells whether the last
// key is new.
Key* Create(Key* base, std::u16string_view path, bool createParents, bool* created = nullptr);
// Removes key and everything below it from the tree; handles that refer to it see a deleted key.
void Delete(Key* key);
// Clears the whole registry back to its standard keys (for a new boot of the machine).
void Reset();

// Kernel handles to keys.
HANDLE OpenHandle(Key* key);
Key* FromHandle(HANDLE handle);  // nullptr if the handle is not an open key handle
bool CloseHandle(HANDLE handle);
std::size_t OpenHandleCount();

}  // namespace tarvel::registry
