// The audit library (LD_AUDIT) beside the preloaded libkqtrace.so. Preloading alone misses programs
// that look libpq's functions up themselves (dlsym, as ctypes does) and libraries loaded privately;
// glibc's audit interface sees every symbol binding, also those of dlsym and of BIND_NOW programs.
// For the traced functions it hands out libkqtrace.so's wrappers instead of the library's own.
//
// The audit library lives in a link-map namespace of its own, with its own copy of libc: it never
// runs tracing itself. The wrappers and the kq client run in the program's own namespace, inside
// libkqtrace.so, which the preload put there; this file only finds that library's exported wrappers
// (through its symbol table, as the namespaces share the address space) and binds to them.
// Built without the C++ runtime and without exceptions: it must not load anything into the program.
#include <elf.h>
#include <link.h>
#include <string.h>

namespace {

struct link_map* Tracer = nullptr;  // libkqtrace.so in the program's namespace

const char* const Hooked[] = {
    "PQexec",         "PQexecParams",      "PQprepare",          "PQexecPrepared",
    "PQsendQuery",    "PQsendQueryParams", "PQsendPrepare",      "PQsendQueryPrepared",
    "PQgetResult",    "PQfinish",          "sqlite3_open",       "sqlite3_open_v2",
    "sqlite3_open16", "sqlite3_prepare",   "sqlite3_prepare_v2", "sqlite3_prepare_v3",
    "sqlite3_step",
};

bool IsHooked(const char* name) {
  if (!name || !((name[0] == 'P' && name[1] == 'Q') || strncmp(name, "sqlite3_", 8) == 0)) return false;
  for (const char* hooked : Hooked)
    if (strcmp(name, hooked) == 0) return true;
  return false;
}

bool IsTracer(const char* path) {
  if (!path) return false;
  const char* slash = strrchr(path, '/');
  return strcmp(slash ? slash + 1 : path, "libkqtrace.so") == 0;
}

// The dynamic section's addresses are relocated in place by the dynamic linker; an unrelocated one is
// an offset from the load address.
ElfW(Addr) Absolute(const struct link_map* map, ElfW(Addr) address) {
  return address < map->l_addr ? address + map->l_addr : address;
}

// A function that the object defines and exports, by its symbol table (DT_HASH gives the count:
// libkqtrace.so is linked with both hash styles for this).
ElfW(Addr) Lookup(const struct link_map* map, const char* name) {
  const ElfW(Sym)* symbols = nullptr;
  const char* strings = nullptr;
  const ElfW(Word)* hash = nullptr;
  for (const ElfW(Dyn)* dyn = map->l_ld; dyn->d_tag != DT_NULL; ++dyn) {
    if (dyn->d_tag == DT_SYMTAB) symbols = reinterpret_cast<const ElfW(Sym)*>(Absolute(map, dyn->d_un.d_ptr));
    if (dyn->d_tag == DT_STRTAB) strings = reinterpret_cast<const char*>(Absolute(map, dyn->d_un.d_ptr));
    if (dyn->d_tag == DT_HASH) hash = reinterpret_cast<const ElfW(Word)*>(Absolute(map, dyn->d_un.d_ptr));
  }
  if (!symbols || !strings || !hash) return 0;
  const ElfW(Word) count = hash[1];
  for (ElfW(Word) i = 0; i < count; ++i) {
    const ElfW(Sym)& symbol = symbols[i];
    if (symbol.st_shndx == SHN_UNDEF || ELF64_ST_TYPE(symbol.st_info) != STT_FUNC) continue;
    if (strcmp(strings + symbol.st_name, name) == 0) return map->l_addr + symbol.st_value;
  }
  return 0;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) unsigned int la_version(unsigned int version) {
  return version < LAV_CURRENT ? version : LAV_CURRENT;
}

__attribute__((visibility("default"))) unsigned int la_objopen(struct link_map* map, Lmid_t lmid, uintptr_t* cookie) {
  *cookie = reinterpret_cast<uintptr_t>(map);
  if (lmid == LM_ID_BASE && IsTracer(map->l_name)) {
    Tracer = map;
    return 0;  // its own lookups of the real functions are never redirected
  }
  return LA_FLG_BINDTO | LA_FLG_BINDFROM;
}

__attribute__((visibility("default"))) uintptr_t la_symbind64(ElfW(Sym) * symbol, unsigned int, uintptr_t* refcook,
                                                              uintptr_t* defcook, unsigned int*, const char* name) {
  // libkqtrace.so's own lookups of the real functions (dlsym reports them here whatever its flags
  // said) must find the real ones.
  if (!Tracer || !IsHooked(name) || reinterpret_cast<struct link_map*>(*defcook) == Tracer ||
      reinterpret_cast<struct link_map*>(*refcook) == Tracer)
    return symbol->st_value;
  const ElfW(Addr) wrapper = Lookup(Tracer, name);
  return wrapper ? wrapper : symbol->st_value;
}

}  // extern "C"
