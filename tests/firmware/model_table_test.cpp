#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "device/model_tables.h"
#include "firmware/model_family.h"
#include "sim_layout.h"

// The model table (src/firmware/model_family.cpp): its rows checked against
// each other, against what the device and upgrade layers read from them, and
// against the simulator's own table (sim/sim_layout.cpp). Nothing here
// restates a row: a new model is a new row or range, and these tests hold.

namespace flashmere {
namespace {

bool inRanges(std::span<const ModelCodeRange> ranges, std::uint16_t code) {
    for (const ModelCodeRange& r : ranges) {
        if (code >= r.first && code <= r.last) {
            return true;
        }
    }
    return false;
}

// Every code a row names looks up that row, and no code is in two rows; the
// last row, the catch-all, names none.
TEST(ModelTable, EveryCodeOfARowLooksUpItsRow) {
    std::set<std::uint16_t> seen;
    std::size_t named = 0;
    for (const ModelFamily& family : modelFamilies()) {
        for (const ModelCodeRange& range : family.codes) {
            EXPECT_LE(range.first, range.last);
            for (unsigned code = range.first; code <= range.last; ++code) {
                EXPECT_EQ(&modelFamilyFor(static_cast<std::uint16_t>(code)), &family)
                    << std::hex << code;
                seen.insert(static_cast<std::uint16_t>(code));
                ++named;
            }
        }
    }
    EXPECT_EQ(seen.size(), named);
    EXPECT_TRUE(modelFamilies().back().codes.empty());
}

// The accepted codes (the About box's list, identification's check) are the
// accepted rows' codes: ascending, disjoint, adjacent ranges joined.
TEST(ModelTable, AcceptedRangesAreOrderedDisjointAndTheAcceptedRowsCodes) {
    const auto ranges = knownModelRanges();
    ASSERT_FALSE(ranges.empty());
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        EXPECT_LE(ranges[i].first, ranges[i].last);
        if (i > 0) {
            EXPECT_LT(ranges[i - 1].last + 1, ranges[i].first) << "joined ranges";
        }
    }
    for (unsigned c = 0; c <= 0xFFFF; ++c) {
        const auto code = static_cast<std::uint16_t>(c);
        const bool accepted = modelFamilyFor(code).accepted;
        EXPECT_EQ(inRanges(ranges, code), accepted) << std::hex << code;
        EXPECT_EQ(isKnownModel(code), accepted) << std::hex << code;
    }
    EXPECT_FALSE(modelFamilies().back().accepted) << "every other code is refused";
}

// Normalisation: the reported codes of the rows never overlap, and each
// stands for an accepted code of its own row.
TEST(ModelTable, ReportedCodesAreDisjointAndStandForTheirRowsCodes) {
    std::set<std::uint16_t> seen;
    std::size_t named = 0;
    for (const ModelFamily& family : modelFamilies()) {
        for (const ReportedCodes& reported : family.reportedAs) {
            EXPECT_LE(reported.first, reported.last);
            EXPECT_EQ(&modelFamilyFor(reported.model), &family) << std::hex << reported.model;
            EXPECT_TRUE(family.accepted) << std::hex << reported.model;
            for (unsigned code = reported.first; code <= reported.last; ++code) {
                seen.insert(static_cast<std::uint16_t>(code));
                ++named;
                EXPECT_EQ(normalizeModel(static_cast<std::uint16_t>(code)), reported.model)
                    << std::hex << code;
            }
        }
    }
    EXPECT_EQ(seen.size(), named);
    for (unsigned c = 0; c <= 0xFFFF; ++c) {
        if (!seen.count(static_cast<std::uint16_t>(c))) {
            EXPECT_EQ(normalizeModel(static_cast<std::uint16_t>(c)), c) << std::hex << c;
        }
    }
}

// The service functions serve one code, whose row can erase in blocks.
TEST(ModelTable, TheServiceRowNamesOneCodeWithEraseBlocks) {
    const ModelFamily& family = serviceFamily();
    EXPECT_EQ(&modelFamilyFor(serviceModelCode()), &family);
    EXPECT_TRUE(family.accepted);
    ASSERT_NE(family.programming, nullptr);
    EXPECT_EQ(family.programming->eraseRule, EraseRule::EveryNth);
}

// Group behaviour travels with the rows: a variant-tagged row asks the
// group's version check, and no text row does either.
TEST(ModelTable, GroupFlagsGoTogether) {
    for (const ModelFamily& family : modelFamilies()) {
        if (family.variantTagged) {
            EXPECT_EQ(family.versionCheck, VersionCheck::GroupQuery);
        }
        if (family.versionCheck == VersionCheck::GroupQuery) {
            EXPECT_EQ(family.wakeup, Wakeup::None);
        }
        if (family.versionQuery.command != 0) {
            EXPECT_EQ(family.versionCheck, VersionCheck::GroupQuery);
            EXPECT_GT(family.versionQuery.attempts, 0);
        }
        for (const ModelCodeRange& range : family.codes) {
            if (isTextFamily(range.first)) {
                EXPECT_EQ(family.versionCheck, VersionCheck::NameReply) << std::hex << range.first;
            }
        }
    }
}

TEST(PageLayout, HundredFiftyTwoCodesTakeFiveHundredTwelvePages) {
    std::set<std::uint16_t> codes;
    for (unsigned code = 0; code <= 0xFFFF; ++code) {
        if (pageLayoutFor(static_cast<std::uint16_t>(code)).pageLimit == 512) {
            codes.insert(static_cast<std::uint16_t>(code));
        }
    }
    EXPECT_EQ(codes.size(), 152u);
    for (std::uint16_t code : std::vector<std::uint16_t>{0x0103, 0x010C, 0x0136, 0x060A, 0x068A,
                                                         0x06CA, 0x8014, 0x8501, 0x86E1, 0x87C1}) {
        EXPECT_EQ(codes.count(code), 1u) << std::hex << code;
    }
    for (std::uint16_t code :
         std::vector<std::uint16_t>{0x0101, 0x0105, 0x0131, 0x0151, 0x8401, 0x8801, 0x87D1}) {
        EXPECT_EQ(codes.count(code), 0u) << std::hex << code;
    }
}

// The names `info` prints say what their profile does: a name that promises
// another erase interval or address form than its row is caught here.
TEST(ModelFamily, ProfileNamesSayWhatDiffers) {
    std::set<std::string> programming;
    std::set<std::string> verification;
    for (const ModelFamily& family : modelFamilies()) {
        if (const ProgramProfile* p = family.programming) {
            const std::string name = p->name;
            programming.insert(name);
            EXPECT_EQ(name.find("16-bit") != std::string::npos, p->form == AddressForm::Bits16)
                << name;
            if (p->eraseRule == EraseRule::EveryNth) {
                // Programming erases before page i when i mod the interval
                // is 0: an interval left at 0 would divide by zero.
                EXPECT_GT(p->eraseInterval, 0) << name;
                EXPECT_NE(name.find("every " + std::to_string(p->eraseInterval) + " pages"),
                          std::string::npos)
                    << name;
            }
            EXPECT_EQ(name.find("no erase") == 0, p->eraseRule == EraseRule::Never) << name;
            EXPECT_EQ(name.find("page trace") != std::string::npos, p->tracePages) << name;
        }
        if (const VerifyProfile* v = family.verification) {
            const std::string name = v->name;
            verification.insert(name);
            EXPECT_EQ(name.find("16-bit") != std::string::npos, v->form == AddressForm::Bits16)
                << name;
        }
        EXPECT_EQ(family.programming == nullptr, family.verification == nullptr);
    }
    EXPECT_EQ(programming.size(), 12u);
    EXPECT_EQ(verification.size(), 4u);
}

TEST(PageLayout, RowsByCode) {
    struct Row {
        std::uint16_t code;
        int pageSize;
        int pageLimit;
    };
    for (const Row& r : std::vector<Row>{
             {0x8400, 128, 2048}, {0x8402, 128, 2048}, {0x8301, 128, 2048}, {0x8302, 128, 2048},
             {0x8461, 256, 1024}, {0x0181, 256, 1024}, {0x8101, 256, 1664}, {0x8102, 256, 1664},
             {0x8111, 256, 496},  {0x8081, 256, 248},  {0x0131, 256, 223},  {0x0134, 256, 223},
             {0x0103, 256, 512},  {0x87C1, 256, 512},  {0x8901, 256, 3840}, {0x8922, 256, 3840},
             {0x8801, 256, 3968}, {0x8401, 256, 128},  {0x8303, 256, 128},  {0x8802, 256, 128},
             {0x0000, 256, 128},  {0xFFFF, 256, 128},
         }) {
        const PageLayout layout = pageLayoutFor(r.code);
        EXPECT_EQ(layout.pageSize, r.pageSize) << std::hex << r.code;
        EXPECT_EQ(layout.pageLimit, r.pageLimit) << std::hex << r.code;
    }
}

TEST(ModelFamily, TextFamilyByGroup) {
    for (std::uint16_t code :
         std::vector<std::uint16_t>{0x8800, 0x8801, 0x880F, 0x8900, 0x8902, 0x890F}) {
        EXPECT_TRUE(isTextFamily(code)) << std::hex << code;
    }
    for (std::uint16_t code :
         std::vector<std::uint16_t>{0x8810, 0x8911, 0x8921, 0x8401, 0x0000, 0x88F0, 0x8A00}) {
        EXPECT_FALSE(isTextFamily(code)) << std::hex << code;
    }
}

// Where the simulator's memory for one model code disagrees with what the
// tool will send it; empty when they agree.
std::string disagreement(std::uint16_t model) {
    const SimLayout sim = simLayoutFor(model);
    const PageLayout layout = pageLayoutFor(model);
    std::string why;
    auto check = [&why](bool agrees, const char* what) {
        if (!agrees) {
            why += std::string(why.empty() ? "" : ", ") + what;
        }
    };
    check(sim.textProtocol == isTextFamily(model), "text or binary");
    check(sim.pageSize == static_cast<std::uint32_t>(layout.pageSize), "page size");
    check(sim.pageLimit == static_cast<std::uint32_t>(layout.pageLimit), "page limit");
    if (sim.textProtocol || isTextFamily(model)) {
        check(sim.eraseBlock == 0 && sim.writeReplaces, "text pages written over");
        return why;
    }
    const GroupCommands group = groupCommandsFor(model);
    check(
        sim.groupVersionQueries == (modelFamilyFor(model).versionCheck == VersionCheck::GroupQuery),
        "version queries");
    check(group.versionQuery == 0 || sim.groupVersionQueries, "version query answered");
    check(sim.commands.mode == group.modeCommand, "mode command");
    const RunCommand run = runCommandFor(model);
    check(run.command == 0 || run.command == sim.commands.mode, "run command");
    const ModelFamily* family = loaderFamilyFor(model);
    if (!family) {
        return why;
    }
    const ProgramProfile& p = *family->programming;
    check(sim.base == p.baseAddress, "base address");
    check(sim.address16 == (p.form == AddressForm::Bits16), "address form");
    check(sim.commands.program == family->commands.program, "program command");
    check(sim.commands.read == family->commands.read, "read command");
    check(sim.writeReplaces == (p.eraseRule == EraseRule::Never), "pages written over");
    if (p.eraseRule != EraseRule::Never) {
        check(sim.commands.erase == family->commands.erase, "erase command");
    }
    // The tool erases exactly at the first page of each of the device's
    // blocks, with that page's address, and never a block it has written.
    bool eraseAgrees = sim.eraseBlock != 0 || p.eraseRule == EraseRule::Never;
    for (std::uint32_t i = 0; eraseAgrees && sim.eraseBlock != 0 && i < sim.pageLimit; ++i) {
        const std::uint32_t block = sim.pageAddress(i) / sim.eraseBlock;
        const bool firstOfBlock = i == 0 || sim.pageAddress(i - 1) / sim.eraseBlock != block;
        eraseAgrees = erasesBefore(p, static_cast<int>(i)) == firstOfBlock;
    }
    check(eraseAgrees, "erase blocks");
    check(sim.memorySize >= sim.pageAddress(sim.pageLimit), "memory size");
    return why;
}

// The simulator keeps its own table of the device families, as the devices
// would; for every model code it must state what the tool's tables state.
TEST(ModelTable, SimulatorAgreesWithTheRowsForEveryModelCode) {
    std::string disagreements;
    int count = 0;
    for (unsigned code = 0; code <= 0xFFFF; ++code) {
        const std::string why = disagreement(static_cast<std::uint16_t>(code));
        if (!why.empty() && ++count <= 8) {
            char model[8];
            std::snprintf(model, sizeof model, "%04X", code);
            disagreements += std::string(model) + ": " + why + "\n";
        }
    }
    EXPECT_EQ(count, 0) << disagreements;
}

}  // namespace
}  // namespace flashmere
