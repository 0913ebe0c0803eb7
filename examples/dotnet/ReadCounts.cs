// Opens unit 0 through the .NET binding, runs its channels, reads the counts,
// presets and clears channel 1. In a project given the Brivant package
// (`dotnet add package Brivant`), which brings the native library along, or
// against Brivant.Net.dll with BRIVANT.dll beside the program.
using System;
using System.Threading;
using Brivant;

internal static class ReadCounts
{
    private static void Print(string when, Counts c)
    {
        Console.WriteLine("{0,-18} counts {1} {2} {3}, status 0x{4:X2} 0x{5:X2} 0x{6:X2}", when,
                          c.Values[0], c.Values[1], c.Values[2], c.Status[0], c.Status[1], c.Status[2]);
    }

    private static int Main()
    {
        try
        {
            using (var unit = new Unit(0))
            {
                for (int channel = 0; channel < 3; channel++)
                {
                    unit.Run(channel);
                }
                Print("running", unit.ReadCounts());
                Thread.Sleep(300);
                Print("300 ms later", unit.ReadCounts());
                unit.Stop(1);
                unit.WritePreset(1, -500, 0);
                unit.ForceClear(1);
                Print("channel 1 cleared", unit.ReadCounts());
                unit.SelectMultiplier(0, 3); // above its bound: throws
            }
        }
        catch (BrivantException e)
        {
            Console.WriteLine("refused: " + e.Message);
            return e.Result == Result.BadParameter ? 0 : 1;
        }
        return 1;
    }
}
