#include "zandrel.h"

// Entry points of the commands that read and write messages; they answer
// nothing until their bodies arrive.
void listHeaders(const char*) {}
void getArticle(const char*) {}
void postArticle(const char*) {}
