// A cancel ends an operation before the next exchange that would wait for an answer, also
// inside a row of many registers, while writes, which never wait, always go through whole.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "support/SensorFixture.h"

namespace karvo::device {
namespace {

class Cancelling : public test::SensorOnSim {
 protected:
  void SetUp() override {
    SensorOnSim::SetUp();
    // The token is set as the `after`-th request goes out, as a Ctrl-C during it would.
    Dev.Link().Trace = [this](char direction, const uint8_t*, size_t) {
      if (direction == '>' && ++Sent == CancelAfter) Token->Cancel();
    };
  }

  int Sent = 0;
  int CancelAfter = 0;
  CancelToken* Token = nullptr;
};

TEST_F(Cancelling, EndsWithinOneExchangeWhereverItComes) {
  struct Case {
    const char* What;
    bool Standing;  // the sensor's own token, else the operation's
    int After;
    std::function<Result(Sensor&, const CancelToken*)> Run;
    const char* Doing;
  };
  TPARAMVALUE value;
  TParamSet values;
  const Case cases[] = {
      {"third register of the customer row", true, 3,
       [&](Sensor& s, const CancelToken*) { return s.ReadParameter(ROW_CUSTOMER, value); },
       "reading row 31"},
      {"inside the customer row of a compare", false, 75,
       [&](Sensor& s, const CancelToken* t) {
         std::vector<ParameterDifference> differences;
         TParamSet read;
         return s.CompareParameters(values, read, differences, t);
       },
       "reading row 31"},
      {"a measure", false, 5,
       [&](Sensor& s, const CancelToken* t) { return s.Measure(RUN_LINE, 100, {}, t); },
       "measuring"},
      {"an identify after the cancel", true, 1,
       [&](Sensor& s, const CancelToken*) {
         IdentityRecord id;
         s.ReadParameter(ROW_MODE_OF_RUN, value);
         return s.Identify(id);
       },
       "identify"},
  };
  for (const Case& c : cases) {
    CancelToken token;
    Token = &token;
    Sent = 0;
    CancelAfter = c.After;
    Dev.SetCancelToken(c.Standing ? &token : nullptr);
    const Result r = c.Run(Dev, c.Standing ? nullptr : &token);
    EXPECT_TRUE(r.Cancelled()) << c.What << ": " << r.Describe();
    EXPECT_EQ(r.Doing, c.Doing) << c.What;
    EXPECT_EQ(r.Reason, "") << c.What;
    EXPECT_EQ(Sent, c.After) << c.What << ": no request after the cancel";
    Dev.SetCancelToken(nullptr);
    // The operation's token is its own: the next operation runs.
    EXPECT_TRUE(Dev.ReadParameter(ROW_SERIAL, value)) << c.What;
  }
}

TEST_F(Cancelling, WritesGoThroughWholeSoThatWhatARunChangedCanBePutBack) {
  CancelToken token;
  token.Cancel();
  Dev.SetCancelToken(&token);
  Sim.ClearRequests();
  const TPARAMVALUE customer{"  ACME, a customer of 32 bytes.", 0};
  EXPECT_TRUE(Dev.WriteParameter(ROW_CUSTOMER, customer));
  EXPECT_EQ(Sim.Requests().size(), 32u);
  TPARAMVALUE back;
  EXPECT_EQ(Dev.ReadParameter(ROW_CUSTOMER, back).Status, ST_CANCELLED);
  Dev.SetCancelToken(nullptr);
  ASSERT_TRUE(Dev.ReadParameter(ROW_CUSTOMER, back));
  EXPECT_EQ(back.Text, customer.Text);
}

}  // namespace
}  // namespace karvo::device
