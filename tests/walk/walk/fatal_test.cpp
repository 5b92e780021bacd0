// Broken invariants stop the program with the expression, source and
// function that failed; a missing table stops it with the pair it lacks.
#include <functional>

#include "walk_support.h"

namespace {

TEST(FatalDeathTest, EveryCheckNamesWhatFailed)
{
    const std::string prefix = "korva: src/randomwalk:[0-9]+: ";
    const struct {
        const char* what;
        std::function<void()> run;
        std::string message;
    } rows[] = {
        {"panel index", [] { Randomwalk::idx2pt(0, 961, 31); },
         prefix + "static PointOnCube Randomwalk::idx2pt\\(int, int, int\\): "
                  "Assertion `0 <= index && index < segnum \\* segnum' failed\\."},
        {"face of a point", [] { Randomwalk::StructToVector3(PointOnCube(6, 0.5, 0.5, 0), Cube(Vector3(0, 0, 0), 1)); },
         prefix + "static const Vector3 Randomwalk::StructToVector3.*Assertion `false' failed"},
        {"interface in the wrong half",
         [] {
             Cube cube(Vector3(0, 0, 0.3), 0.8);
             CalcPos(0.3 - 0.8 + 16 * 1.6 / 31, cube, true);
         },
         "int CalcPos\\(double, Cube&, bool\\): Assertion `ret <= CI_CUT_NUMX / 2' failed"},
        {"unknown weight selector", [] {
             TableLedger ledger;
             SingleTables().LoadData(-1, ledger);
         }, "Assertion `false' failed"},
        {"probabilities not summing to one",
         [] {
             std::vector<double> p(5766, 1.1 / 5766);
             SingleTables().LoadPrmat(p.data(), 5766);
         },
         "Assertion `abs\\(partial_face_sum_arr\\[5\\]-1.0\\)<0.000001' failed"},
        {"cursor out of range",
         [] {
             Media m({0, 1}, {3.9});
             TableSet t;
             Layers l(t, m.list);
             l.cur_layer = -5;
             l.MoveUp();
         },
         "korva: src/layers:[0-9]+: .*Assertion `cur_layer >= 0' failed"},
        {"missing pair",
         [] {
             Log::ero = stderr;
             Media m({0, 1, 2}, {3.9, 2.5});
             TableSet t;
             Layers(t, m.list).FindLayer(0.5);
         },
         "Cannot find partial sum for 3.90 / 2.50\nPlease check your .gft_dir file, make sure the existence of "
         "data. .*Assertion `false' failed"},
        {"gap next to the cursor",
         [] {
             Media gap({0, 1}, {3.9});
             Media top({2, 3}, {3.9});
             TableSet t;
             Layers l(t, std::vector<Medium*>{gap.list[0], top.list[0]});
             t.weight_select = 4;
             l.FindLayerFromGauss(0.5);
         },
         "Assertion `\\( abs\\(dhigh - \\(-1\\) \\) > MIE \\)' failed"},
        {"point outside the space",
         [] {
             Spacemanager s(BaseCuboid<int>(0, 0, 0, 0, 100, 100, 100), 5, 1.0);
             s.GetDomainCubic(Vector3(1, 1, 1));
         },
         "korva: src/spacemanager:[0-9]+: .*Assertion `result != __null' failed"},
    };
    for (const auto& r : rows)
        EXPECT_DEATH(r.run(), r.message) << r.what;
}

}  // namespace
