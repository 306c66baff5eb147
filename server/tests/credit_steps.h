// The credit contract every account store keeps, run by the SQLite and the PostgreSQL store tests on
// a store that holds account 1 with a balance of 10 and an empty ledger.
#pragma once

#include <gtest/gtest.h>

#include "store.h"

namespace kiv::server {

// A credit counts once per request id, whatever the replay names; a failed one keeps the id free.
inline void CheckCreditsOncePerRequestId(IAccountStore& s) {
  struct Step {
    std::uint32_t code;
    std::int64_t amount;
    const char* id;
    TCreditOutcome outcome;
    std::int64_t balance;
  } steps[] = {{1, 5, "r1", TCreditOutcome::kDone, 15},      {1, 5, "r1", TCreditOutcome::kReplayed, 0},
               {1, 7, "r1", TCreditOutcome::kReplayed, 0},   {9, 5, "r2", TCreditOutcome::kNoAccount, 0},
               {1, 5, "r2", TCreditOutcome::kDone, 20},      {1, 0, "r3", TCreditOutcome::kError, 0},
               {1, 5, "", TCreditOutcome::kError, 0}};
  for (const Step& step : steps) {
    TCreditResult r = s.Credit(step.code, step.amount, step.id);
    EXPECT_EQ(r.outcome, step.outcome) << step.id << " " << step.amount;
    if (r.outcome == TCreditOutcome::kDone) {
      EXPECT_EQ(r.balance, step.balance) << step.id;
    }
  }
  EXPECT_EQ(s.Find(1)->money, 20);
  EXPECT_EQ(s.LedgerRows(), 2);
}

}  // namespace kiv::server
