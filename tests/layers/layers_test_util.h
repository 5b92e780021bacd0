// Shared helpers of the layer stack and table registry tests.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "geometry.h"
#include "layers.h"
#include "log.h"

// Every test starts and ends with an empty stack and registry.
class LayersTest : public ::testing::Test {
protected:
    void SetUp() override { Layers::ResetAll(); }
    void TearDown() override { Layers::ResetAll(); }

    void AddMedium(double z0, double z1, double diel)
    {
        boxes.emplace_back(new Cuboid(0, 0, 0, z0, 1, 1, z1));
        media.emplace_back(new Medium(boxes.back().get(), diel));
        deck.push_back(media.back().get());
    }
    Layers Build() { return Layers(deck); }

    // 3.9 on [0, 1] below 2.5 on [1, 2].
    Layers BuildOxideOnLowK()
    {
        AddMedium(0, 1, 3.9);
        AddMedium(1, 2, 2.5);
        return Build();
    }

    std::vector<std::unique_ptr<Cuboid>> boxes;
    std::vector<std::unique_ptr<Medium>> media;
    std::vector<Medium*> deck;
};

inline std::string CaptureOut(const std::function<void()>& body)
{
    testing::internal::CaptureStdout();
    body();
    return testing::internal::GetCapturedStdout();
}

// Regex matching a text literally.
inline std::string Quote(const std::string& text)
{
    std::string quoted;
    for (char c : text) {
        if (strchr("()[]{}.*+?|^$\\", c))
            quoted += '\\';
        quoted += c;
    }
    return quoted;
}

// Regex matching the diagnostic of a failed fatal check with this text.
inline std::string FatalText(const std::string& text)
{
    return "korva: src/layers:[0-9]+: .*Assertion `" + Quote(text) + "' failed";
}

// Regex of the failed lookup of a permittivity pair such as "3.90 / 2.50".
inline std::string MissingPair(const std::string& pair, bool hint)
{
    std::string text = Quote("Cannot find partial sum for " + pair + "\n");
    if (hint)
        text += Quote("Please check your .gft_dir file, make sure the existence of data. ") + ".*";
    return text + FatalText("false");
}

// Ascending body 1, 2, 3, ... of n values.
inline std::vector<double> Ramp(int n, double first = 1.0)
{
    std::vector<double> v(n);
    for (int i = 0; i < n; ++i)
        v[i] = first + i;
    return v;
}

// Raw table file: three header doubles, then the body.
inline std::string TableBytes(double seg, double dlow, double dhigh, const std::vector<double>& body)
{
    std::string bytes(sizeof(double) * (3 + body.size()), '\0');
    double header[3] = {seg, dlow, dhigh};
    memcpy(&bytes[0], header, sizeof header);
    if (!body.empty())
        memcpy(&bytes[sizeof header], body.data(), sizeof(double) * body.size());
    return bytes;
}
