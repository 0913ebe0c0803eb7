// The program of a fresh `dotnet new console` given the Brivant package: it
// lists the simulated units, reads one and exits 0 when the counts move.
using System;
using System.Linq;
using System.Threading;
using Brivant;

var ids = Unit.ListUnits();
Console.WriteLine("units: " + string.Join(",", ids));
if (!ids.SequenceEqual(new[] { 0, 1, 5 }))
{
    return 1;
}
using (var unit = new Unit(5))
{
    Counts before = unit.ReadCounts();
    Thread.Sleep(200);
    Counts after = unit.ReadCounts();
    Console.WriteLine($"unit 5 channel 0: {before.Values[0]} then {after.Values[0]}");
    return after.Values[0] > before.Values[0] ? 0 : 2;
}
