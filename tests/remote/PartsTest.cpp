// The browser front's parts on their own: the password hash, sessions and the login brake on
// manual time, the request head and message parsers against hostile input, and the PTT guard
// under seeded random operator sequences.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <random>

#include "platform/MMTimer.h"
#include "remote/HttpHead.h"
#include "remote/Password.h"
#include "remote/Protocol.h"
#include "remote/PttGuard.h"
#include "remote/Sessions.h"
#include "tests/support/QtApp.h"

using namespace remote;

namespace {
const ScryptCost kLight{1u << 10, 8, 1};
}

TEST(Password, HashVerifiesOnlyItsPasswordAndSaltsDiffer) {
  const std::string a = HashPassword("Fernfunk 27", kLight),
                    b = HashPassword("Fernfunk 27", kLight);
  ASSERT_TRUE(IsPasswordHash(a));
  EXPECT_NE(a, b);
  EXPECT_TRUE(VerifyPassword("Fernfunk 27", a));
  EXPECT_TRUE(VerifyPassword("Fernfunk 27", b));
  for (const char* wrong : {"", "fernfunk 27", "Fernfunk 27 ", "Fernfunk 2"})
    EXPECT_FALSE(VerifyPassword(wrong, a)) << wrong;
  // The default cost is what the station stores.
  EXPECT_EQ(HashPassword("x").rfind("scrypt$131072$8$1$", 0), 0u);
}

// The checker's thread: answers in order on the context's thread, refuses beyond its bound
// without hashing, and a checker that goes with checks waiting hands nothing back.
TEST(Password, CheckerAnswersOnTheContextThreadAndRefusesBeyondItsBound) {
  testsupport::EnsureQtApplication<QCoreApplication>();
  const std::string op = HashPassword("Fernfunk 27", kLight), ear = HashPassword("nur", kLight);
  QObject context;
  std::vector<int> got;
  bool elsewhere = false;
  auto record = [&](int m) {
    elsewhere |= QThread::currentThread() != context.thread();
    got.push_back(m);
  };
  {
    PasswordChecker checker;
    size_t accepted = 0;
    for (const char* pw : {"nur", "Fernfunk 27", "falsch", "nur", "falsch", "x", "y", "z"})
      accepted += checker.Submit(pw, {op, ear}, &context, record);
    // One may already run: at most kMaxWaiting wait besides it.
    EXPECT_GE(accepted, PasswordChecker::kMaxWaiting);
    EXPECT_LE(accepted, PasswordChecker::kMaxWaiting + 1);
    QElapsedTimer t;
    t.start();
    while (got.size() < accepted && t.elapsed() < 30000)
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    ASSERT_EQ(got.size(), accepted);
    const std::vector<int> expected = {1, 0, -1, 1, -1};
    EXPECT_EQ(got, std::vector<int>(expected.begin(), expected.begin() + long(accepted)));
    EXPECT_EQ(checker.Pending(), 0u);
    got.clear();
    for (int i = 0; i < 3; ++i) checker.Submit("nur", {op, ear}, &context, record);
  }
  QCoreApplication::processEvents();
  EXPECT_LE(got.size(), 1u) << "at most the check that ran";
  EXPECT_FALSE(elsewhere);
}

TEST(Password, MalformedOrTooCostlyStoredValuesAreRefused) {
  const std::string good = HashPassword("pw", kLight);
  const std::string tail = good.substr(good.find('$', good.find('$', good.find('$', 7) + 1) + 1));
  for (std::string bad :
       {std::string(), std::string("pw"), std::string("scrypt$"), "bcrypt" + good.substr(6),
        "scrypt$1000$8$1" + tail, "scrypt$4194304$8$1" + tail, "scrypt$1024$64$1" + tail,
        "scrypt$1024$8$0" + tail, good + "$", good.substr(0, good.size() - 4),
        "scrypt$1024$8$1$!!!!$" + good.substr(good.rfind('$') + 1)}) {
    EXPECT_FALSE(IsPasswordHash(bad)) << bad;
    EXPECT_FALSE(VerifyPassword("pw", bad)) << bad;
  }
}

TEST(Sessions, IdleCountsActionsPagesOnlyListenAndTheLifetimeEndsAll) {
  platform::ScopedManualTime time;
  SessionTable t(60'000, 600'000);
  const std::string a = t.Create(Role::Operator, "10.0.0.1");
  const std::string b = t.Create(Role::Listener, "10.0.0.2");
  const std::string c = t.Create(Role::Operator, "10.0.0.3");
  ASSERT_EQ(a.size(), 64u);
  EXPECT_NE(a, b);
  EXPECT_EQ(t.Find("x"), nullptr);
  EXPECT_EQ(t.Find(std::string(64, '0')), nullptr);
  const int ida = t.Find(a)->id, idb = t.Find(b)->id, idc = t.Find(c)->id;
  t.Find(b)->sockets = 1;
  t.Find(c)->sockets = 1;
  time->Advance(59'000);
  ASSERT_NE(t.Find(a), nullptr);  // a request restarts the idle time
  t.Touch(idc);                   // so does a page's command
  time->Advance(59'000);
  EXPECT_TRUE(t.Expire().ended.empty());
  EXPECT_EQ(t.Find(a)->role, Role::Operator);
  time->Advance(61'000);
  // The idle operator with a page open becomes a listener; the one without a page is gone.
  Expired e = t.Expire();
  EXPECT_EQ(e.ended, std::vector<int>{ida});
  EXPECT_EQ(e.quieted, std::vector<int>{idc});
  EXPECT_EQ(t.ById(idc)->role, Role::Listener);
  EXPECT_EQ(t.Find(a), nullptr);
  EXPECT_TRUE(t.Expire().quieted.empty());  // said once
  // A listening page stays until the lifetime ends, open page or not.
  time->Advance(600'000 - 179'000);
  EXPECT_TRUE(t.Expire().ended.empty());
  time->Advance(1'000);
  e = t.Expire();
  EXPECT_EQ(e.ended.size(), 2u);
  EXPECT_EQ(t.ById(idb), nullptr);
  EXPECT_EQ(t.Count(), 0u);
  // Logout and a new password end sessions by their tokens.
  const std::string d = t.Create(Role::Operator, "x"), f = t.Create(Role::Listener, "y");
  const int idd = t.Find(d)->id;
  EXPECT_EQ(t.Remove(d), idd);
  EXPECT_EQ(t.Remove(d), 0);
  EXPECT_EQ(t.Clear().size(), 1u);
  EXPECT_EQ(t.Find(f), nullptr);
}

TEST(Sessions, FullTableDropsTheLeastRecentlyUsedWithoutAPage) {
  platform::ScopedManualTime time;
  SessionTable t;
  std::vector<std::string> tokens;
  for (size_t i = 0; i < SessionTable::kMaxSessions; ++i) {
    tokens.push_back(t.Create(Role::Listener, "a"));
    time->Advance(1);
  }
  t.Find(tokens[0])->sockets = 1;  // the oldest has a page open: it stays
  ASSERT_FALSE(t.Create(Role::Operator, "b").empty());
  EXPECT_EQ(t.Count(), SessionTable::kMaxSessions);
  EXPECT_NE(t.Find(tokens[0]), nullptr);
  EXPECT_EQ(t.Find(tokens[1]), nullptr);
}

TEST(LoginThrottle, FewTriesThenSecondsThenMinutesPerAddress) {
  platform::ScopedManualTime time;
  LoginThrottle th;
  // failures so far -> wait right after the last one
  const std::vector<std::pair<int, int64_t>> schedule = {
      {1, 0}, {2, 0}, {3, 2000}, {4, 4000}, {5, 8000}, {8, 64000}, {12, 900000}, {30, 900000}};
  int failures = 0;
  for (auto [n, wait] : schedule) {
    while (failures < n) {
      th.Failed("192.0.2.1");
      ++failures;
    }
    EXPECT_EQ(th.WaitMs("192.0.2.1"), wait) << n;
    EXPECT_EQ(th.WaitMs("192.0.2.2"), 0);
  }
  time->Advance(899'999);
  EXPECT_EQ(th.WaitMs("192.0.2.1"), 1);
  time->Advance(1);
  EXPECT_EQ(th.WaitMs("192.0.2.1"), 0);
  th.Succeeded("192.0.2.1");
  EXPECT_EQ(th.Failures("192.0.2.1"), 0);
  // A flood of addresses stays bounded and forgets the oldest first.
  for (size_t i = 0; i < LoginThrottle::kMaxAddresses + 10; ++i) {
    th.Failed("h" + std::to_string(i));
    time->Advance(1);
  }
  EXPECT_EQ(th.Failures("h0"), 0);
  EXPECT_EQ(th.Failures("h" + std::to_string(LoginThrottle::kMaxAddresses + 9)), 1);
}

TEST(HttpHead, ParsesWhatTheServerNeedsAndRefusesTheRest) {
  struct Case {
    std::string data;
    HeadResult result;
  };
  const std::string big(kMaxHead, 'a');
  const std::vector<Case> cases = {
      {"GET / HTTP/1.1\r\nHost: a\r\n\r\n", HeadResult::Done},
      {"GET / HTTP/1.1\r\nHost: a\r\n", HeadResult::Incomplete},
      {"", HeadResult::Incomplete},
      {"GET / HTTP/1.1\nHost: a\n\n", HeadResult::Bad},
      {"GET / HTTP/2.0\r\n\r\n", HeadResult::Bad},
      {"GET x HTTP/1.1\r\n\r\n", HeadResult::Bad},
      {"GET / HTTP/1.1 x\r\n\r\n", HeadResult::Bad},
      {"G(T / HTTP/1.1\r\n\r\n", HeadResult::Bad},
      {"GET / HTTP/1.1\r\nNo colon\r\n\r\n", HeadResult::Bad},
      {"GET / HTTP/1.1\r\nA: b\x01\r\n\r\n", HeadResult::Bad},
      {"POST /login HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", HeadResult::Bad},
      {"POST /login HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 3\r\n\r\n", HeadResult::Bad},
      {"POST /login HTTP/1.1\r\nContent-Length: -3\r\n\r\n", HeadResult::Bad},
      {"POST /login HTTP/1.1\r\nContent-Length: 99999\r\n\r\n", HeadResult::TooLarge},
      {"GET / HTTP/1.1\r\nX: " + big + "\r\n\r\n", HeadResult::TooLarge},
      {"GET / HTTP/1.1\r\nX: " + big, HeadResult::TooLarge},
  };
  for (const Case& c : cases) {
    HttpRequest r;
    size_t len = 0;
    EXPECT_EQ(ParseHead(c.data, r, &len), c.result) << c.data.substr(0, 60);
  }
  std::string many = "GET / HTTP/1.1\r\n";
  for (size_t i = 0; i <= kMaxHeaders; ++i) many += "A" + std::to_string(i) + ": b\r\n";
  HttpRequest r;
  EXPECT_EQ(ParseHead(many + "\r\n", r, nullptr), HeadResult::TooLarge);

  size_t len = 0;
  const std::string req =
      "GET /ws?x=1 HTTP/1.1\r\nHost: s:8443\r\nUpgrade: WebSocket\r\nConnection: keep-alive, "
      "Upgrade\r\nCookie: a=1; kanalo=tok; b=2\r\nX-A: 1\r\nx-a: 2\r\n\r\nrest";
  ASSERT_EQ(ParseHead(req, r, &len), HeadResult::Done);
  EXPECT_EQ(len, req.size() - 4);
  EXPECT_EQ(r.path, "/ws");
  EXPECT_EQ(r.query, "x=1");
  EXPECT_TRUE(r.IsWebSocketUpgrade());
  EXPECT_EQ(r.Cookie("kanalo"), "tok");
  EXPECT_EQ(r.Cookie("kanal"), "");
  EXPECT_EQ(r.Header("x-a"), "1, 2");
}

TEST(HttpHead, FormValuesDecodeOrComeBackEmpty) {
  EXPECT_EQ(FormValue("password=a%20b+c&x=1", "password"), "a b c");
  EXPECT_EQ(FormValue("x=1&password=%C3%A4", "password"), "\xc3\xa4");
  EXPECT_EQ(FormValue("password=%2", "password"), "");
  EXPECT_EQ(FormValue("password=%zz", "password"), "");
  EXPECT_EQ(FormValue("passwordx=1", "password"), "");
  EXPECT_EQ(FormValue("", "password"), "");
}

TEST(Protocol, CommandsAreWholeAndWellTypedOrRefused) {
  struct Case {
    const char* json;
    bool ok;
    Cmd cmd;
  };
  const std::vector<Case> cases = {
      {R"({"c":"up"})", true, Cmd::Up},
      {R"({"c":"dn","v":1})", true, Cmd::Down},
      {R"({"c":"mode","v":80})", true, Cmd::Mode},
      {R"({"c":"mode","v":50})", false, Cmd::Mode},
      {R"({"c":"mode","v":"80"})", false, Cmd::Mode},
      {R"({"c":"squelch","v":100})", true, Cmd::Squelch},
      {R"({"c":"squelch","v":101})", false, Cmd::Squelch},
      {R"({"c":"squelch","v":12.5})", false, Cmd::Squelch},
      {R"({"c":"freelevel","v":-1})", false, Cmd::FreeLevel},
      {R"({"c":"ptt","v":true})", true, Cmd::Ptt},
      {R"({"c":"ptt","v":1})", false, Cmd::Ptt},
      {R"({"c":"ptt"})", false, Cmd::Ptt},
      {R"({"c":"call","v":"12*#AD"})", true, Cmd::Call},
      {R"({"c":"call","v":"12a"})", false, Cmd::Call},
      {R"({"c":"call","v":""})", false, Cmd::Call},
      {R"({"c":"call","v":"12345678901234567"})", false, Cmd::Call},
      {R"({"c":"play","v":"Mailbox1.wav"})", true, Cmd::Play},
      {R"({"c":"play","v":"../kanalo.conf"})", false, Cmd::Play},
      {R"({"c":"play","v":".."})", false, Cmd::Play},
      {R"({"c":"hb"})", true, Cmd::Heartbeat},
      {R"({"c":"reboot"})", false, Cmd::Up},
      {R"({"c":1})", false, Cmd::Up},
      {R"(["up"])", false, Cmd::Up},
      {R"({"c":"up")", false, Cmd::Up},
      {"", false, Cmd::Up},
  };
  for (const Case& c : cases) {
    std::string why;
    auto cmd = ParseCommand(c.json, &why);
    EXPECT_EQ(cmd.has_value(), c.ok) << c.json;
    if (cmd) {
      EXPECT_EQ(cmd->cmd, c.cmd) << c.json;
    } else {
      EXPECT_FALSE(why.empty()) << c.json;
    }
  }
  std::string why;
  EXPECT_FALSE(
      ParseCommand(QByteArray(R"({"c":"up","x":")") + QByteArray(2000, 'a') + "\"}", &why));
  // Listeners may ask, never act.
  for (Cmd c : {Cmd::Recordings, Cmd::Log, Cmd::Heartbeat, Cmd::Hidden}) EXPECT_FALSE(IsControl(c));
  for (Cmd c : {Cmd::Up, Cmd::Ptt, Cmd::Call, Cmd::Play, Cmd::ArmMailbox, Cmd::Squelch})
    EXPECT_TRUE(IsControl(c));
}

TEST(PttGuard, HoldLapsesWithoutHeartbeatsAndOnlyOneHolds) {
  platform::ScopedManualTime time;
  PttGuard g;
  EXPECT_EQ(g.Pressed(1), PttGuard::Press::Held);
  EXPECT_EQ(g.Pressed(2), PttGuard::Press::Busy);
  for (int i = 0; i < 50; ++i) {
    time->Advance(100);
    g.Heartbeat(1);
    g.Heartbeat(2);  // not the holder: keeps nothing alive
    ASSERT_EQ(g.Check(), 0);
  }
  time->Advance(PttGuard::kHeartbeatLimitMs);
  EXPECT_EQ(g.Check(), 0);
  time->Advance(1);
  EXPECT_EQ(g.Check(), 1);
  EXPECT_EQ(g.Holder(), 0);
  EXPECT_EQ(g.Pressed(2), PttGuard::Press::Held);
  EXPECT_FALSE(g.Released(1));
  EXPECT_TRUE(g.Released(2));
  EXPECT_FALSE(g.Released(2));
}

// Random presses, heartbeats, releases and silences by three pages: whatever the order, a hold
// never outlives the heartbeat limit plus one check, and only one page holds.
TEST(PttGuard, RandomOperatorsNeverStickTheTransmitter) {
  platform::ScopedManualTime time;
  for (uint32_t seed = 1; seed <= 20; ++seed) {
    std::mt19937 rng(seed);
    PttGuard g;
    int64_t lastSign = 0;
    for (int step = 0; step < 2000; ++step) {
      const int page = 1 + static_cast<int>(rng() % 3);
      switch (rng() % 4) {
        case 0:
          if (g.Pressed(page) == PttGuard::Press::Held) lastSign = platform::Clock().Milliseconds();
          break;
        case 1:
          if (g.Holder() == page) lastSign = platform::Clock().Milliseconds();
          g.Heartbeat(page);
          break;
        case 2:
          g.Released(page);
          break;
        default:
          break;
      }
      time->Advance(static_cast<uint32_t>(rng() % 300));
      g.Check();
      if (g.Holder() != 0) {
        ASSERT_LE(platform::Clock().Milliseconds() - lastSign, PttGuard::kHeartbeatLimitMs)
            << "seed " << seed << " step " << step;
      }
    }
  }
}
