// Date strings and stamps: the stored date text parsed into a stamp, a
// stamp checked and printed, as readers of every format do with what a
// base holds.
#include <cstring>
#include <ctime>
#include <vector>

#include "fidotext.h"
#include "structrw.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, unsigned long size) {
  // Any length, NUL-terminated; at least a date field's room, which an
  // empty string is rewritten into.
  std::vector<char> text(std::max<unsigned long>(size + 1, FTSC_DATE_SIZE), 0);
  std::memcpy(text.data(), data, size);
  SCOMBO parsed;
  ASCII_Date_To_Binary(text.data(), &parsed);

  // The 20-byte field of a header, with its stored stamp before it.
  char field[FTSC_DATE_SIZE] = {};
  SCOMBO stored;
  stored.ldate = 0;
  if (size >= 4) {
    const uint8_t* p = data;
    stored = get_stamp(p);
    std::memcpy(field, data + 4, std::min<unsigned long>(size - 4, FTSC_DATE_SIZE - 1));
  }
  SCOMBO chosen;
  Get_Binary_Date(&chosen, &stored, field);

  char out[FTSC_DATE_SIZE + 8];
  sc_time(&parsed, out);
  sc_time(&stored, out);
  struct tm tm;
  DosDate_to_TmDate(&stored, &tm);
  SCOMBO back;
  TmDate_to_DosDate(&tm, &back);
  return 0;
}
