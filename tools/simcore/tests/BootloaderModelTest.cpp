#include <gtest/gtest.h>

#include "BootloaderModel.h"
#include "HexRecord.h"

namespace {

// A target of type 3 that has greeted and taken the entry sequence.
CBootloaderModel ReadyTarget(const BootloaderFaults& faults = {}) {
    CBootloaderModel target(3, faults);
    EXPECT_EQ(target.Greet(), "!");
    EXPECT_EQ(target.Feed("^;]"), "?");
    return target;
}

}  // namespace

TEST(BootloaderModel, EntrySequenceIsAnsweredOnlyAfterTheReset) {
    CBootloaderModel target(1);
    EXPECT_EQ(target.Feed("^;]"), "");  // not before the reset
    target.Greet();
    EXPECT_EQ(target.Feed("x^;^;]^;]"), "??");  // repeated sequences are answered too
    EXPECT_EQ(target.GetPhase(), CBootloaderModel::Phase::Records);
    EXPECT_EQ(target.GetCounters().nEntries, 2);
}

TEST(BootloaderModel, RecordsAreSizedByTheirLengthAndAnsweredEach) {
    CBootloaderModel target = ReadyTarget();
    const std::string strA = MakeHexDataRecord(0x1000, "ABCD");
    const std::string strB = MakeHexDataRecord(0x1004, "EF");
    // Two records back to back, split at odd places, line ends between them ignored.
    const std::string strAll = strA + "\r\n" + strB;
    EXPECT_EQ(target.Feed(strAll.substr(0, 5)), "");
    EXPECT_EQ(target.Feed(strAll.substr(5, strA.size() - 5 + 3)), "~");
    EXPECT_EQ(target.Feed(strAll.substr(strA.size() + 3)), "~");
    EXPECT_EQ(target.GetImage().size(), 6u);
    EXPECT_EQ(target.GetImage().at(0x1005), 'F');
    EXPECT_EQ(target.GetAcceptedRecords(), (std::vector<std::string>{strA, strB}));
    EXPECT_EQ(target.Feed(MakeHexEofRecord()), "@");
    EXPECT_EQ(target.GetPhase(), CBootloaderModel::Phase::Done);
    EXPECT_EQ(target.Feed(strA), "");
}

TEST(BootloaderModel, ARefusedRecordIsDiscardedAndALaterOneOverwrites) {
    CBootloaderModel target = ReadyTarget();
    std::string strBad = MakeHexDataRecord(0x0010, "XY");
    strBad[strBad.size() - 1] ^= 1;
    EXPECT_EQ(target.Feed(strBad), "-");
    EXPECT_TRUE(target.GetImage().empty());
    EXPECT_EQ(target.Feed(":G0"), "-");  // no length: refused at once
    EXPECT_EQ(target.Feed(MakeHexDataRecord(0x0010, "XY")), "~");
    EXPECT_EQ(target.Feed(MakeHexDataRecord(0x0011, "Z")), "~");
    EXPECT_EQ(target.GetImage().at(0x0010), 'X');
    EXPECT_EQ(target.GetImage().at(0x0011), 'Z');
    EXPECT_EQ(target.GetCounters().nChecksumErrors, 2);
    EXPECT_EQ(target.GetCounters().nAccepted, 2);
}

TEST(BootloaderModel, ExtendedAddressesAndPersistenceOverReset) {
    CBootloaderModel target = ReadyTarget();
    EXPECT_EQ(target.Feed(MakeHexLinearRecord(0x0002)), "~");
    EXPECT_EQ(target.Feed(MakeHexDataRecord(0xFFFF, "ab")), "~");  // wraps within its segment
    EXPECT_EQ(target.Feed(MakeHexRecord(0x02, 0, {0x12, 0x34})), "~");
    EXPECT_EQ(target.Feed(MakeHexDataRecord(0x0001, "c")), "~");
    EXPECT_EQ(target.GetImage().at(0x2FFFF), 'a');
    EXPECT_EQ(target.GetImage().at(0x20000), 'b');
    EXPECT_EQ(target.GetImage().at(0x12341), 'c');
    target.Greet();
    EXPECT_EQ(target.GetImage().size(), 3u);
    target.ClearImage();
    EXPECT_TRUE(target.GetImage().empty());
}

TEST(BootloaderModel, FileErrorStopsTheTargetUntilReset) {
    BootloaderFaults faults;
    faults.nFileErrorAtRecord = 1;
    CBootloaderModel target = ReadyTarget(faults);
    EXPECT_EQ(target.Feed(MakeHexDataRecord(0, "a")), "~");
    EXPECT_EQ(target.Feed(MakeHexDataRecord(1, "b")), "#");
    EXPECT_EQ(target.Feed(MakeHexDataRecord(2, "c")), "");
    EXPECT_EQ(target.GetImage().size(), 1u);
    target.Greet();
    EXPECT_EQ(target.Feed("^;]" + MakeHexDataRecord(1, "b")), "?~");
}

TEST(BootloaderModel, InjectedFaultsAreRepeatableAndNeverLookLikeReplies) {
    BootloaderFaults faults;
    faults.nSeed = 42;
    faults.dChecksumError = 0.1;
    faults.dPageError = 0.1;
    faults.dLostReply = 0.1;
    faults.dNoise = 0.3;
    auto run = [&] {
        CBootloaderModel target = ReadyTarget(faults);
        std::string strReplies;
        for (int i = 0; i < 400; ++i)
            strReplies += target.Feed(MakeHexDataRecord(static_cast<uint16_t>(i), "d"));
        return std::make_pair(strReplies, target.GetCounters());
    };
    const auto [strFirst, counters] = run();
    EXPECT_EQ(run().first, strFirst);
    EXPECT_GT(counters.nChecksumErrors, 10);
    EXPECT_GT(counters.nPageErrors, 10);
    EXPECT_GT(counters.nLostReplies, 10);
    EXPECT_GT(counters.nNoiseBytes, 10);
    size_t nReplies = 0;
    for (char ch : strFirst) {
        const bool bReply = ch == '~' || ch == '-' || ch == '%';
        EXPECT_TRUE(bReply || std::string("?#@!()/\xB0").find(ch) == std::string::npos) << ch;
        nReplies += bReply;
    }
    EXPECT_EQ(nReplies, 400u - static_cast<size_t>(counters.nLostReplies));
    EXPECT_EQ(counters.nAccepted + counters.nChecksumErrors + counters.nPageErrors, 400);
}

TEST(BootloaderModel, FaultsSetDuringARunApplyFromTheNextRecord) {
    CBootloaderModel target = ReadyTarget();
    const std::string strRecord = MakeHexDataRecord(0, "a");
    EXPECT_EQ(target.Feed(strRecord), "~");
    BootloaderFaults lose;
    lose.dLostReply = 1.0;
    target.SetFaults(lose);
    EXPECT_EQ(target.Feed(strRecord), "");
    target.SetFaults({});
    EXPECT_EQ(target.Feed(strRecord), "~");
    EXPECT_EQ(target.GetCounters().nLostReplies, 1);
}
