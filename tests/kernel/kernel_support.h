// Synthetic cube tables for the kernel tests, laid out like the registry's
// entries, so that the sampling code can be driven without table files.
#pragma once

#include <cmath>
#include <vector>

#include "layers.h"
#include "randomwalk.h"

// A walker on a stack of one medium; tests replace the stack and the table
// pointers as they need.
inline Layers MakeLayers()
{
    static Cuboid block(0, -1, -1, 0, 1, 1, 1);
    static Medium medium(&block, 1.0);
    std::vector<Medium*> media{&medium};
    return Layers(media);
}

// Transition table: [cuts][6] face sums and [cuts][6] cumulative arrays.
struct TransTable {
    int cuts, panels;
    std::vector<double> face;
    std::vector<std::vector<double>> cdf;
    std::vector<double*> face_rows;
    std::vector<std::vector<double>*> cdf_rows;

    TransTable(int cuts_, int panels_)
        : cuts(cuts_), panels(panels_), face(cuts_ * 6, 0.0), cdf(cuts_ * 6),
          face_rows(cuts_), cdf_rows(cuts_)
    {
        for (int a = 0; a < cuts; a++) {
            face_rows[a] = &face[a * 6];
            cdf_rows[a] = &cdf[a * 6];
        }
        for (int a = 0; a < cuts; a++)
            Fill(a, std::vector<double>(6 * panels, 1.0 / (6 * panels)));
    }
    // Probabilities of the 6 * panels panels of cut position a, face-major.
    void Fill(int a, const std::vector<double>& p)
    {
        double acc = 0.0;
        for (int f = 0; f < 6; f++) {
            std::vector<double>& v = cdf[a * 6 + f];
            v.clear();
            for (int k = 0; k < panels; k++) {
                acc += p[f * panels + k];
                v.push_back(acc);
            }
            face[a * 6 + f] = acc;
        }
    }
    double** Face() { return face_rows.data(); }
    std::vector<double>** Cdf() { return cdf_rows.data(); }
};

// Pointer levels [cuts][3][stride] over a flat array, as the registry keeps them.
template <class T>
struct Rows3 {
    std::vector<T*> mid;
    std::vector<T**> top;
    Rows3(T* base, int cuts, int stride) : mid(cuts * 3), top(cuts)
    {
        for (int i = 0; i < cuts * 3; i++)
            mid[i] = base + i * stride;
        for (int a = 0; a < cuts; a++)
            top[a] = &mid[a * 3];
    }
};

// Importance tables: [cuts][3][6] face values, value arrays and signs, and
// the [cuts][3][1][1] cross weights.
struct WeightTable {
    int cuts, panels;
    std::vector<double> face;
    std::vector<std::vector<double>> cdf;
    std::vector<std::vector<signed char>> sign;
    std::vector<double> cross;
    std::vector<double*> cross_cells;
    Rows3<double> face3;
    Rows3<std::vector<double>> cdf3;
    Rows3<std::vector<signed char>> sign3;
    Rows3<double*> cross3;

    WeightTable(int cuts_, int panels_)
        : cuts(cuts_), panels(panels_), face(cuts_ * 18, 0.0), cdf(cuts_ * 18),
          sign(cuts_ * 18, std::vector<signed char>(panels_, 1)), cross(cuts_ * 3, 1.0),
          cross_cells(cuts_ * 3), face3(face.data(), cuts_, 6), cdf3(cdf.data(), cuts_, 6),
          sign3(sign.data(), cuts_, 6), cross3(cross_cells.data(), cuts_, 1)
    {
        for (int i = 0; i < cuts * 3; i++)
            cross_cells[i] = &cross[i];
        for (int a = 0; a < cuts; a++)
            for (int b = 0; b < 3; b++)
                Fill(a, b, std::vector<double>(6 * panels, 1.0 / (6 * panels)));
    }
    // Signed weights of the 6 * panels panels of (a, b): the cumulative
    // density of their magnitudes and their signs.
    void Fill(int a, int b, const std::vector<double>& w)
    {
        double total = 0.0;
        for (double x : w)
            total += std::fabs(x);
        double acc = 0.0;
        for (int f = 0; f < 6; f++) {
            std::vector<double>& v = cdf[(a * 3 + b) * 6 + f];
            v.clear();
            for (int k = 0; k < panels; k++) {
                acc += std::fabs(w[f * panels + k]) / total;
                v.push_back(acc);
                sign[(a * 3 + b) * 6 + f][k] = w[f * panels + k] < 0 ? -1 : 1;
            }
            face[(a * 3 + b) * 6 + f] = acc;
        }
    }
    double*** Face() { return face3.top.data(); }
    std::vector<double>*** Cdf() { return cdf3.top.data(); }
    WeightSignEntry Signs() { return sign3.top.data(); }
    double**** Cross() { return cross3.top.data(); }
};

// Point mass on one panel of a 6-face table (others zero).
inline std::vector<double> OnePanel(int panels, int fno, int index, double value = 1.0)
{
    std::vector<double> p(6 * panels, 0.0);
    p[fno * panels + index] = value;
    return p;
}
