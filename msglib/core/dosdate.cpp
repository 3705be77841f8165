#include "dates.h"

SCOMBO* Get_Dos_Date(SCOMBO* st) {
  time_t now = time(nullptr);
  struct tm local {};
  if (localtime_r(&now, &local) == nullptr) {
    StandardDate(st);
    return st;
  }
  return TmDate_to_DosDate(&local, st);
}
