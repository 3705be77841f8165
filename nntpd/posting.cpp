// POST: the article is parsed, checked against the configuration, turned
// into one back-end posting per newsgroup, and answered 240 only once every
// posting is found stored.
//
// The back end answers nothing to a POST. The server takes the postings
// into one area one at a time, notes the area's high number before, and
// afterwards looks among the new messages for one with the origin address
// in its MSGID and the subject and sender it sent. Messages that a tosser
// adds in the meantime are new as well; they are told apart by those
// fields.
#include <charconv>

#include "session.h"
#include "text/msgid.h"
#include "text/post.h"

namespace nntpd {

using asio::awaitable;

namespace {

// The fields of a line of the back end's HEAD reply.
std::vector<std::string_view> tabFields(std::string_view line) {
  std::vector<std::string_view> f;
  for (;;) {
    auto tab = line.find('\t');
    f.push_back(line.substr(0, tab));
    if (tab == std::string_view::npos) return f;
    line.remove_prefix(tab + 1);
  }
}

// Whether the back end shows `sent` as `shown`: it stores the field in code
// page 866 and shows it back in 1251 through two tables that are not each
// other's inverse, and turns control characters into spaces. ASCII comes
// back as it was; an 8-bit character may come back as something else.
bool showsAs(std::string_view sent, std::string_view shown) {
  if (sent.size() != shown.size()) return false;
  for (std::size_t i = 0; i < sent.size(); ++i) {
    auto c = (unsigned char)sent[i];
    if (c >= 0x80) continue;
    if (shown[i] != (c < ' ' ? ' ' : char(c))) return false;
  }
  return true;
}

// The sender's name in a From value "Name <local@...>".
std::string_view nameOf(std::string_view from) {
  auto lt = from.rfind(" <");
  return lt == std::string_view::npos ? from : from.substr(0, lt);
}

// Whether the overview line `line` is the message `p` sent with origin
// address `origin`.
bool isPosting(std::string_view line, const Posting& p, const std::string& origin) {
  auto f = tabFields(line);
  if (f.size() < 8) return false;
  auto msgid = ftnMsgid(f[4]);
  if (!msgid || msgid->compare(0, origin.size() + 1, origin + " ") != 0) return false;
  return showsAs(p.subject.empty() ? "none" : p.subject, f[1]) && showsAs(p.from, nameOf(f[2]));
}

// The FidoNet address in a From value the back end made:
// "Name <Name@p1.f52.n5020.z2.domain>" gives "2:5020/52.1". The name may be
// encoded or quoted; the address is the last '@' on.
std::optional<std::string> ftnAddressOf(std::string_view from) {
  auto at = from.rfind('@');
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view rest = from.substr(at + 1);
  unsigned v[4] = {0, 0, 0, 0};  // p f n z
  const char labels[] = "pfnz";
  for (int i = rest.starts_with('p') ? 0 : 1; i < 4; ++i) {
    if (rest.empty() || rest[0] != labels[i]) return std::nullopt;
    auto dot = rest.find('.');
    if (dot == std::string_view::npos) return std::nullopt;
    auto [end, ec] = std::from_chars(rest.data() + 1, rest.data() + dot, v[i]);
    if (ec != std::errc() || end != rest.data() + dot || v[i] > 65535) return std::nullopt;
    rest.remove_prefix(dot + 1);
  }
  std::string s = std::to_string(v[3]) + ":" + std::to_string(v[2]) + "/" + std::to_string(v[1]);
  if (v[0]) s += "." + std::to_string(v[0]);
  return s;
}

std::string joined(const std::vector<std::string>& groups) {
  std::string s;
  for (const auto& g : groups) s += (s.empty() ? "" : ", ") + g;
  return s;
}

}  // namespace

std::string Session::postableAreas(const std::vector<std::string>& groups,
                                   std::vector<std::size_t>& areas) const {
  for (const std::string& g : groups) {
    std::string error;
    const auto area = readableGroup(g, error);
    if (!area) {
      if (error.starts_with("480")) return "posting to " + g + " needs a login";
      return "no such newsgroup: " + g;
    }
    if (!canPost(*area)) {
      if (!user_ && config_->areas[*area].post.loginWouldHelp())
        return "posting to " + g + " needs a login";
      return "posting to " + g + " is not allowed";
    }
    areas.push_back(*area);
  }
  return areas.empty() ? "no newsgroup to post to" : "";
}

std::string Session::authorName(const ParsedPost& post, std::string& why) const {
  // Names are compared as they will be stored: cut to the field's length,
  // a name padded past it would be another user's name once stored.
  const std::string name = storedName(post.authorName);
  // A user posts under a real name of the user's own: the one the article
  // gives when it is one, else the first.
  if (user_ && !user_->realnames.empty()) {
    for (const std::string& n : user_->realnames)
      if (foldName(n) == foldName(name)) return n;
    return user_->realnames.front();
  }
  // Nobody posts under another user's name.
  for (const UserConfig& u : config_->users) {
    if (&u == user_) continue;
    if (RealNames(u.realnames).has(name)) {
      why = "the name " + name + " belongs to a user of this server";
      if (!user_) why += ": log in to post under it";
      return {};
    }
  }
  return post.authorName;
}

awaitable<std::optional<Session::Stored>> Session::store(std::size_t area, const Posting& posting,
                                                         const std::string& origin,
                                                         const std::string& dest) {
  const AreaConfig& a = config_->areas[area];
  auto guard = co_await shared_->postLock(area).lock();
  const std::string command = posting.command(a.spec, origin, dest);
  for (int attempt = 0; attempt < 2; ++attempt) {
    const std::int64_t before = co_await high(area);
    const unsigned generation = backend_.generation();
    co_await backend_.post(command);
    const std::int64_t after = co_await high(area);
    // Newest first: what a tosser added meanwhile comes before it.
    for (std::int64_t hi = after; hi > before;) {
      // Counted from `hi` up, the digits are never fewer than the real ones.
      std::size_t fit = Backend::headFits(a.spec, hi, std::size_t(hi - before));
      std::int64_t lo = hi - std::int64_t(fit) + 1;
      std::vector<std::int64_t> numbers;
      for (std::int64_t n = lo; n <= hi; ++n) numbers.push_back(n);
      std::string reply = co_await backend_.head(a.spec, numbers);
      std::vector<std::string_view> lines;
      for (std::string_view rest = reply; !rest.empty();) {
        auto eol = rest.find('\n');
        lines.push_back(rest.substr(0, eol));
        rest.remove_prefix(eol == std::string_view::npos ? rest.size() : eol + 1);
      }
      for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        std::int64_t n = 0;
        if (isPosting(*it, posting, origin) &&
            std::from_chars(it->data(), it->data() + it->size(), n).ec == std::errc())
          co_return Stored{n, std::string(tabFields(*it)[4])};
      }
      hi = lo - 1;
    }
    // Sent once more only when the child that took it ended on the way:
    // one that lived through it has stored what it could.
    if (backend_.generation() == generation) break;
  }
  co_return std::nullopt;
}

awaitable<bool> Session::readArticle(std::string& article, bool& tooLarge) {
  // The whole article must come within the command limit; past the size
  // limit it is read to its end and dropped.
  waitFor(Wait::Receiving, std::chrono::steady_clock::now());
  std::string line;
  for (;;) {
    Read r = co_await readLine(line, config_->max_article_size + 2);
    if (r == Read::Closed) co_return false;
    if (r == Read::TooLong) {
      tooLarge = true;
      continue;
    }
    if (line == ".") {
      waitFor(Wait::None, {});
      co_return true;
    }
    std::string_view v = line;
    if (v.starts_with('.')) v.remove_prefix(1);
    if (article.size() + v.size() + 1 > config_->max_article_size) {
      tooLarge = true;
      continue;
    }
    article += v;
    article += '\n';
  }
}

awaitable<void> Session::cmdPost(const Args&) {
  if (!canPostAnywhere()) {
    bool loginWouldHelp = false;
    for (const AreaConfig& a : config_->areas) loginWouldHelp |= a.post.loginWouldHelp();
    if (!user_ && loginWouldHelp) {
      note("refused", "POST without a login");
      co_await send("480 authentication required to post");
    } else {
      co_await send("440 posting not permitted");
    }
    co_return;
  }
  co_await send("340 send article to be posted; end with <CR-LF>.<CR-LF>");
  std::string text;
  bool tooLarge = false;
  if (!co_await readArticle(text, tooLarge)) {
    quit_ = true;
    co_return;
  }
  // Every group is checked before the first posting goes out.
  std::string why;
  ParseResult parsed;
  std::vector<std::size_t> areas;
  std::string author;
  if (tooLarge) {
    why = "article too large (at most " + std::to_string(config_->max_article_size) + " bytes)";
  } else {
    PostLimits limits;
    limits.maxArticle = config_->max_article_size;
    parsed = parsePost(text, limits);
    if (!parsed.post)
      why = parsed.error.empty() ? "article not understood" : parsed.error;
    else
      why = postableAreas(parsed.post->newsgroups, areas);
    if (why.empty()) author = authorName(*parsed.post, why);
  }
  if (!why.empty()) {
    note("post-refused", why);
    co_await send("441 " + why);
    co_return;
  }
  ParsedPost& post = *parsed.post;
  post.authorName = author;

  // A reply goes to the author of the article it answers, in FidoNet terms
  // too: REPLY kludge, addressee and, for netmail, destination address.
  PostingParams params;
  std::optional<std::string> replyAddress;
  if (!post.references.empty()) {
    const std::string& parent = post.references.back();
    params.reply = ftnMsgid(parent).value_or("");
    // The article replied to is looked for in the areas posted to first:
    // two areas may hold different messages with one MSGID.
    std::vector<bool> postedTo(config_->areas.size());
    for (std::size_t a : areas) postedTo[a] = true;
    if (auto found = co_await lookup(parent, false, &postedTo)) {
      const std::string_view from = found->overview->field(OverLine::FROM);
      params.to = mailboxName(from);
      replyAddress = ftnAddressOf(from);
    }
  }
  // New netmail goes where X-Comment-To says: "Name <2:5020/52.7>" or the
  // address readers see in From lines.
  std::optional<std::string> givenAddress;
  if (!post.commentToAddress.empty()) {
    givenAddress = canonicalFtnAddress(post.commentToAddress);
    if (!givenAddress) givenAddress = ftnAddressOf(post.commentToAddress);
  }
  if (post.commentTo) params.to = *post.commentTo;
  if (params.to.empty()) params.to = "All";
  params.tearline = config_->tearline;
  for (std::size_t area : areas)
    if (config_->areas[area].netmail && !givenAddress && !replyAddress) {
      why = "netmail to " + config_->areas[area].group +
            " needs an address: reply to a message, or write X-Comment-To: Name <zone:net/node>";
      note("post-refused", why);
      co_await send("441 " + why);
      co_return;
    }

  std::vector<std::string> stored, failed;
  std::string lastError;
  for (std::size_t area : areas) {
    const AreaConfig& a = config_->areas[area];
    params.origin = config_->originText(a);
    params.address = user_ && !user_->address.empty() ? user_->address : config_->originAddress(a);
    const Posting posting = buildPosting(post, params);
    // Echomail goes nowhere in particular; netmail to the address given,
    // else to the author replied to.
    std::string dest = replyAddress.value_or(params.address);
    if (a.netmail && givenAddress) dest = *givenAddress;
    std::optional<Stored> done;
    try {
      done = co_await store(area, posting, params.address, dest);
      if (!done) lastError = "the message base did not store it";
    } catch (const BackendError& e) {
      lastError = e.what();
    }
    if (done) {
      stored.push_back(a.group);
      ++posts_;
      note("post", a.group + ":" + std::to_string(done->number) + " " + done->messageId +
                       " from " + post.authorAddress + " as \"" + post.authorName + "\", " +
                       std::to_string(text.size()) + " bytes" +
                       (a.netmail ? " to " + params.to + " at " + dest : ""));
    } else {
      failed.push_back(a.group);
      logError("post to " + a.group + " failed: " + lastError);
    }
  }
  if (failed.empty()) {
    co_await send("240 article posted to " + joined(stored));
  } else if (stored.empty()) {
    co_await send("441 posting failed: " + lastError);
  } else {
    co_await send("441 posted to " + joined(stored) + " only; not to " + joined(failed) + ": " +
                  lastError);
  }
}

}  // namespace nntpd
