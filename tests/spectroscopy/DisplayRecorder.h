// Test support for the online and calibration displays: a Derovo2 stage on
// the heap whose environment records every image it sends, and the overlay
// of a recorded image read back from its header's protocol tree.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Derovo2.h"
#include "duvhost/Graphics.h"
#include "duvhost/HostStages.h"

struct OverlayElement {
    std::string name;  // node name in the overlay map
    bool polygon = false;
    MrPolygon poly;
    MrText text;
};

class DisplayTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        stage = Rudu::HeapObject<Derovo2>::Create();
        ASSERT_TRUE(stage);
        stage->setEnvironment(&env);
        stage->m_viTE_Time = {30000};
        stage->m_iTI_Time = 0;
        stage->m_iTR_Time = 2000000;
    }

    // Elements of the overlay of image i (the latest by default), in order.
    std::vector<OverlayElement> overlay(long i = -1)
    {
        std::vector<OverlayElement> out;
        if (env.sent.empty()) return out;
        RecordingEnvironment::Sent& s = env.sent[i < 0 ? env.sent.size() - 1 : static_cast<size_t>(i)];
        XProtocol& protocol = s.header->getProtocol();
        GraphOverlay graph(protocol);
        const std::vector<std::string> names = protocol.At("GraphOverlay").ChildNames();
        for (long k = 0; k < graph.ElementCount(); ++k) {
            OverlayElement e;
            e.name = k < static_cast<long>(names.size()) ? names[k] : std::string();
            e.polygon = graph.isPolygon(k);
            if (e.polygon)
                e.poly = graph.polygon(k);
            else
                e.text = graph.text(k);
            out.push_back(e);
        }
        return out;
    }

    std::vector<std::string> texts(long i = -1)
    {
        std::vector<std::string> out;
        for (const OverlayElement& e : overlay(i))
            if (!e.polygon) out.push_back(e.text.text);
        return out;
    }

    RecordingEnvironment env;
    MrPtr<Derovo2> stage;
};

inline void ExpectColor(const MrColor& c, double r, double g, double b)
{
    EXPECT_DOUBLE_EQ(c.red, r);
    EXPECT_DOUBLE_EQ(c.green, g);
    EXPECT_DOUBLE_EQ(c.blue, b);
}

// Height of value v in a graph, computed as the display does (single precision).
inline float GraphY(float v, float top, float height, float ymin, float ymax)
{
    const float vf = height / (ymax - ymin);
    float h = (v - ymin) * vf;
    if (h < 0.0f) h = 0.0f;
    if (h > height) h = height;
    return top + height - h;
}
