// What all connections of one server process share: the configuration, the
// log, the Message-ID index and the per-area locks.
#ifndef NNTPD_SHARED_H
#define NNTPD_SHARED_H

#include <cstddef>
#include <string>
#include <vector>

#include "async_mutex.h"
#include "config.h"
#include "log.h"
#include "msgid_index.h"
#include "overview_cache.h"
#include "text/article.h"

namespace nntpd {

constexpr const char* VERSION = "1.0";

struct Shared {
  Shared(const Config& c, Log& l)
      : config(c), log(l), index(c.areas.size()), postLocks(c.areas.size()),
        syncLocks(c.areas.size()),
        overviews(c.areas.size(), c.overview_cache) {
    render.headers = c.utf8_headers ? HeaderMode::Utf8 : HeaderMode::Encoded;
  }

  const Config& config;
  Log& log;
  RenderOptions render;
  MsgIdIndex index;
  // POSTs into one area are taken one at a time, so that each finds its own
  // message among the new ones.
  std::vector<AsyncMutex> postLocks;
  // One connection at a time brings an area's part of the index up to date.
  std::vector<AsyncMutex> syncLocks;
  OverviewCache overviews;
  std::size_t connections = 0;
};

}  // namespace nntpd

#endif
