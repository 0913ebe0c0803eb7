// The units a program finds on the simulated bus without any set-up: IDs 0, 1
// and 5, each live (counting by the clock), so that the brivant tool, the
// examples and the Python package have something to talk to.
#include "platform/sim/bus.h"

namespace brivant::sim {

std::vector<BusUnit> demoUnits() {
    std::vector<BusUnit> units;
    for (int id : {0, 1, 5}) {
        UnitAnswers answers;
        answers.idReply = id;
        answers.countReply = {0, 0, 0x30, 0x39, 0, 0, 0, 42, 0xFF, 0xFF, 0xFF, 0xFE, 1, 0, 1};
        answers.live = true;
        BusUnit unit;
        unit.model.setAnswers(answers);
        units.push_back(unit);
    }
    return units;
}

} // namespace brivant::sim
