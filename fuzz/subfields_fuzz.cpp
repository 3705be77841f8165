// JAM subfield chains as a header file holds them: decoded from memory and
// from a file, turned into the control block and trailer a reader gets,
// and coded back. Also control blocks turned into subfields, as writing
// does.
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "jam_int.h"
#include "fileio.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, unsigned long size) {
  const dword n = dword(size);
  JamChain chain;
  const dword used = decode_subfields(data, n, &chain);
  if (used > n) __builtin_trap();

  // What decoding keeps codes back and decodes to the same chain again,
  // except an empty last record: a head that ends exactly at the end of a
  // chain is not decoded.
  const std::string coded = encode_subfields(chain, chain_size(chain));
  JamChain again;
  decode_subfields(reinterpret_cast<const uint8_t*>(coded.data()), dword(coded.size()), &again);
  const bool last_dropped = !chain.empty() && chain.back().data.empty() &&
                            again.size() + 1 == chain.size();
  if (again.size() != chain.size() && !last_dropped) __builtin_trap();
  for (std::size_t i = 0; i < again.size(); ++i)
    if (again[i].id != chain[i].id || again[i].data != chain[i].data) __builtin_trap();

  // The same bytes through a descriptor, asking for more than there is.
  static int fd = ::memfd_create("subfields", 0);
  if (fd >= 0 && ::ftruncate(fd, 0) == 0 && seek_file(fd, 0, SEEK_FROM_START) == 0 &&
      write_all(fd, data, size) && seek_file(fd, 0, SEEK_FROM_START) == 0) {
    JamChain from_file;
    dword length = n + 16;
    read_subfield(fd, &from_file, &length);
  }

  // A reader's view of the chain, for echo and netmail areas.
  for (byte isecho : {byte(0), byte(1)}) {
    MSGA area{};
    area.isecho = isecho;
    JamMsgState m;
    m.sq = &area;
    m.chain = chain;
    DecodeSubf(&m);
    NETADDR a;
    for (const JamSubfield& sf : chain) parseAddr(&a, sf.data);
  }

  // The bytes as a control block given to a writer.
  JamHdr hdr{};
  JamChain out;
  const std::string ctrl(reinterpret_cast<const char*>(data), size);
  ConvertCtrlToSubf(&hdr, &out, n, reinterpret_cast<const byte*>(ctrl.c_str()));
  std::string text = ctrl;
  DelimText(&hdr, &out, text.c_str());
  JamSubfield one;
  StrToSubfield(ctrl.c_str(), &one);
  return 0;
}
