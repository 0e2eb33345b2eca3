// The factory settings tree, bound, for the parsed-command record tests, and a parse of
// one program message unit into a record the way the parser thread fills it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "Host/parameters/Bindings.h"
#include "support/FactoryTree.h"
#include "Host/parameters/ParameterNode.h"
#include "Host/scpi/engine/ScpiLexer.h"
#include "Host/scpi/engine/ScpiParameterSyntax.h"
#include "Host/scpi/exec/ParsedCommand.h"
#include "Host/scpi/units/MeasurementUnits.h"

namespace Korvex::test {

class RecordTreeFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = korvex_test::LoadFactoryTree();
        ASSERT_NE(root, nullptr);
    }

    void TearDown() override
    {
        KorvexSetProbeGyroRatioSource(nullptr);
        korvex_test::UnloadFactoryTree(root);
    }

    // One unit parsed by the engine and decoded into a record: a number with a negative
    // exponent, or one that does not fit 32 bits, as a double; else as an integer.
    ParsedCommand Parse(const std::string& unit)
    {
        ParsedCommand record(&response);
        std::uint8_t command = 0;
        std::uint8_t suffixCount = 0;
        std::uint32_t suffixes[1] = {0};
        ScpiToken tokens[ScpiParameterSlots] = {};
        const char* cursor = unit.c_str();
        const std::uint8_t status = scpi_parse_message_unit(cursor, unit.size() + 1, 1, command,
                                                            tokens, suffixCount, suffixes);
        EXPECT_EQ(status, 0) << unit;
        record.Reset();
        record.command = command;
        for (unsigned i = 0; i < suffixCount; ++i) record.suffixes.push_back(suffixes[i]);
        for (unsigned slot = 0; slot < ScpiParameterSlots; ++slot) {
            const ScpiToken& token = tokens[slot];
            std::uint8_t type = 0;
            std::uint8_t sign = 0;
            scpi_param_get_type_and_sign(token, type, sign);
            switch (type) {
                case ScpiTokenNumber: {
                    std::uint32_t kind = 0;
                    scpi_param_get_numeric_word4(token, kind);
                    std::int32_t integer = 0;
                    double real = 0.0;
                    if ((sign & ScpiNumberExponentNegative) == 0 &&
                        scpi_param_get_int32(token, integer) == 0) {
                        record.SetInteger(slot, integer, kind);
                    } else {
                        scpi_param_get_double(token, real);
                        record.SetNumber(slot, real, kind);
                    }
                    break;
                }
                case ScpiTokenBoolean: record.SetBool(slot, token.boolean.value); break;
                case ScpiTokenChoice: record.SetChoice(slot, token.choice.index); break;
                case ScpiTokenString:
                case ScpiTokenText:
                    record.SetString(slot, std::string(token.text.text, token.text.length));
                    break;
                default: break;
            }
        }
        return record;
    }

    static void SetText(CParameterNode* node, const char* text)
    {
        CParameterNode::SetStringAttribute(node, eAttrValue, text);
    }
    static void SetFlag(CParameterNode* node, bool value)
    {
        CParameterNode::SetBooleanAttribute(node, eAttrValue, value);
    }
    static double Float(CParameterNode* node, eNodeAttribute attribute = eAttrValue)
    {
        return CParameterNode::GetFloat64Attribute(node, attribute);
    }

    CParameterNode* root = nullptr;
    std::string response;
};

}  // namespace Korvex::test
