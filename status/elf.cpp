#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "status/status_internal.h"

namespace {

// The daemon is built for the machine we run on, so its file has our word
// size: 64-bit records on aarch64 and x86_64, 32-bit ones on armhf and mipsel.
using Ehdr = ElfW(Ehdr);
using Phdr = ElfW(Phdr);
using Shdr = ElfW(Shdr);
using Sym = ElfW(Sym);
constexpr unsigned char native_class = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;

// Bounds that no program of ours comes near; they keep a corrupt file from
// making us read for ever.
constexpr std::uint16_t max_headers = 512;
constexpr std::uint64_t max_symbols = 65536;
constexpr std::size_t max_name = 64;

constexpr std::uint64_t max_offset = INT64_MAX;

template <typename T>
bool read_at(int fd, std::uint64_t offset, T& out) {
  if (offset > max_offset) return false;
  return pread(fd, &out, sizeof out, static_cast<off_t>(offset)) ==
         static_cast<ssize_t>(sizeof out);
}

// The machine we run on, as our own program's header names it: the daemon
// was built for the same one.
std::uint16_t our_machine() {
  Ehdr self{};
  const int fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
  const bool read = fd >= 0 && pread(fd, &self, sizeof self, 0) == sizeof self;
  if (fd >= 0) close(fd);
  return read ? self.e_machine : std::uint16_t{EM_NONE};
}

bool header_fits(const Ehdr& header) {
  static constexpr unsigned char native_data =
      __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB;
  return std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 &&
         header.e_ident[EI_CLASS] == native_class && header.e_ident[EI_DATA] == native_data &&
         (header.e_type == ET_DYN || header.e_type == ET_EXEC) &&
         header.e_machine == our_machine() && header.e_machine != EM_NONE &&
         header.e_shentsize == sizeof(Shdr) && header.e_phentsize == sizeof(Phdr) &&
         header.e_shnum <= max_headers && header.e_phnum <= max_headers;
}

int first_loaded_page(int fd, const Ehdr& header, std::uint64_t& first_page) {
  const long page = sysconf(_SC_PAGESIZE);
  const std::uint64_t mask = ~(static_cast<std::uint64_t>(page > 0 ? page : 4096) - 1);
  for (std::uint16_t i = 0; i < header.e_phnum; ++i) {
    Phdr segment{};
    if (!read_at(fd, header.e_phoff + std::uint64_t{i} * sizeof segment, segment)) return -1;
    // The kernel maps the first loadable segment from the file's first page.
    if (segment.p_type == PT_LOAD) {
      first_page = segment.p_vaddr & mask;
      return 0;
    }
  }
  return -1;
}

int section(int fd, const Ehdr& header, std::uint32_t index, Shdr& out) {
  if (index >= header.e_shnum) return -1;
  return read_at(fd, header.e_shoff + std::uint64_t{index} * sizeof out, out) ? 0 : -1;
}

// Whether the NUL-ended name at `offset` of the string table is `name`.
bool name_is(int fd, const Shdr& strings, std::uint32_t offset, const char* name) {
  char text[max_name + 1] = {};
  const std::size_t wanted = std::strlen(name) + 1;
  if (wanted > sizeof text || offset >= strings.sh_size || strings.sh_size - offset < wanted ||
      strings.sh_offset > max_offset - offset) {
    return false;
  }
  const auto at = static_cast<off_t>(strings.sh_offset + offset);
  return pread(fd, text, wanted, at) == static_cast<ssize_t>(wanted) &&
         std::memcmp(text, name, wanted) == 0;
}

void match_symbol(int fd, const Shdr& strings, const Sym& symbol, ElfSymbol* symbols,
                  std::size_t count) {
  // st_info packs binding and type alike in both word sizes.
  if (symbol.st_shndx == SHN_UNDEF || ELF64_ST_TYPE(symbol.st_info) != STT_OBJECT ||
      ELF64_ST_BIND(symbol.st_info) == STB_LOCAL) {
    return;
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (symbols[i].found || !name_is(fd, strings, symbol.st_name, symbols[i].name)) continue;
    symbols[i].value = symbol.st_value;
    symbols[i].size = symbol.st_size;
    symbols[i].found = true;
    return;
  }
}

// The index of the first section of `type`, or 0 (the null section) when
// there is none; -1 when the section headers cannot be read.
long find_section(int fd, const Ehdr& header, std::uint32_t type) {
  for (std::uint16_t i = 0; i < header.e_shnum; ++i) {
    Shdr table{};
    if (section(fd, header, i, table) != 0) return -1;
    if (table.sh_type == type) return i;
  }
  return 0;
}

}  // namespace

const char* skip_fields(const char* text, int count) {
  for (int i = 0; i < count && text; ++i) {
    while (*text == ' ') ++text;
    text = *text ? std::strpbrk(text, " \n") : nullptr;
  }
  return text;
}

int elf_lookup(int fd, ElfSymbol* symbols, std::size_t count, std::uint64_t& first_page) {
  for (std::size_t i = 0; i < count; ++i) symbols[i].found = false;
  Ehdr header{};
  if (!read_at(fd, 0, header) || !header_fits(header)) return -1;
  if (first_loaded_page(fd, header, first_page) != 0) return -1;
  // A program linked statically at fixed addresses has no dynamic symbol
  // table: its symbol table names the exports alone.
  long index = find_section(fd, header, SHT_DYNSYM);
  if (index == 0) index = find_section(fd, header, SHT_SYMTAB);
  if (index <= 0) return index < 0 ? -1 : 0;  // no symbols at all: nothing is found
  Shdr table{};
  Shdr strings{};
  if (section(fd, header, static_cast<std::uint32_t>(index), table) != 0 ||
      table.sh_entsize != sizeof(Sym) || section(fd, header, table.sh_link, strings) != 0 ||
      strings.sh_type != SHT_STRTAB) {
    return -1;
  }
  const std::uint64_t entries = table.sh_size / sizeof(Sym);
  if (entries > max_symbols) return -1;
  for (std::uint64_t n = 0; n < entries; ++n) {
    Sym symbol{};
    if (!read_at(fd, table.sh_offset + n * sizeof symbol, symbol)) return -1;
    match_symbol(fd, strings, symbol, symbols, count);
  }
  return 0;
}

int maps_load_start(std::FILE* maps, const char* path, std::uint64_t& start) {
  char line[4096];
  while (std::fgets(line, sizeof line, maps)) {
    // "start-end perms offset dev inode   path"
    char* end = nullptr;
    const std::uint64_t from = std::strtoull(line, &end, 16);
    if (end == line || *end != '-') continue;
    const char* field = skip_fields(end, 2);
    const std::uint64_t offset = field ? std::strtoull(field, &end, 16) : 1;
    const char* name = field && end != field ? skip_fields(end, 2) : nullptr;
    if (!name) continue;
    while (*name == ' ') ++name;
    line[std::strcspn(line, "\n")] = '\0';
    if (offset == 0 && std::strcmp(name, path) == 0) {
      start = from;
      return 0;
    }
  }
  return -1;
}
