// Dates and time stamps: conversions between SCOMBO stamps, broken-down
// time, the current local time and FidoNet date strings.
#ifndef ZANDREL_DATES_H
#define ZANDREL_DATES_H

#include <ctime>

#include "stamp.h"

// Month names; slot i holds month i + 1.
extern const char months[12][10];    // "January" ... "December"
extern const char months_ab[12][4];  // "Jan" ... "Dec"

// Whether daylight saving time was in force when first needed; -1 until then.
extern int is_dst;

// Length of a FidoNet date string "dd Mmm yy  hh:mm:ss" and of its field.
constexpr int FTSC_DATE_LEN = 19;
constexpr int FTSC_DATE_SIZE = 20;

// 1 January 1980, 00:00:00.
void StandardDate(SCOMBO* d_date);
// Fills the stamp from a stored date string. An empty string is rewritten
// with the current local time (the buffer holds at least FTSC_DATE_SIZE bytes
// then) and the stamp becomes StandardDate.
void ASCII_Date_To_Binary(char* msgdate, SCOMBO* d_written);
// The current local date and time.
SCOMBO* Get_Dos_Date(SCOMBO* st);
SCOMBO* TmDate_to_DosDate(const struct tm* tmdate, SCOMBO* dosdate);
struct tm* DosDate_to_TmDate(const SCOMBO* dosdate, struct tm* tmdate);
// The FidoNet date string, or "" when the year field is 0. `string` holds at
// least 20 bytes.
char* sc_time(const SCOMBO* sc, char* string);
// Every FidoNet date string msglib and the gateway write is made here:
// "dd Mmm yy  hh:mm:ss", FTSC_DATE_LEN characters and a NUL, into `out`,
// which holds at least FTSC_DATE_SIZE bytes. Other programs copy the text as
// a field of variable length, so it never has another length: each number
// is printed modulo 100 in two digits (the year may be whole or counted from
// 1900), and a month outside 1-12 prints as Jan. Returns `out`.
char* Ftsc_Date(char* out, unsigned day, unsigned month, unsigned year, unsigned hour,
                unsigned minute, unsigned second);
// The same for a broken-down time (tm_mon 0-11, tm_year from 1900).
char* TmDate_to_FtscDate(const struct tm* tmdate, char* out);
// The stored stamp when plausible, else the stored date string parsed.
void Get_Binary_Date(SCOMBO* todate, const SCOMBO* fromdate, char* datestr);

#endif
