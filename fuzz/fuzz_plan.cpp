// SPDX-License-Identifier: MIT
//
// Fuzzes the plan of 'vantrel-cli apply', CSV and JSON alike: any input is
// either a plan or one usage error, never a crash, undefined behaviour or an
// error of more than one line. A plan holds at least one row, each with a
// serial number of 1 to 16 bytes that holds no NUL.
#include "columns.h"
#include "plan.h"
#include "values.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#define CHECK(condition)                                                                           \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "fuzz_plan: %s:%d: check failed: %s\n", __FILE__, __LINE__,       \
                         #condition);                                                              \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    try {
        static const QStringList described = Cli::describingKeys();
        const Cli::Plan plan = Cli::parsePlan(bytes, described);
        CHECK(!plan.rows.isEmpty());
        for (const Cli::PlanRow &row : plan.rows) {
            CHECK(!row.serial.isEmpty() && row.serial.size() <= 16 && !row.serial.contains('\0'));
            CHECK(row.line >= 1);
        }
    } catch (const Cli::UsageError &e) {
        CHECK(e.message.startsWith(QLatin1String("PLAN")));
        CHECK(!e.message.contains(QLatin1Char('\n')) && !e.message.contains(QChar(0)));
    }
    return 0;
}
