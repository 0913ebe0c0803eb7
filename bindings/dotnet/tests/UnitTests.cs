// The .NET binding against the library over simulated units (IDs 0, 1 and 5,
// counting; see the README's "Simulated units"). The units live in this one
// process, so the tests run one at a time (xunit.runner.json).
using System;
using System.Collections.Generic;
using System.Linq;
using System.Runtime.CompilerServices;
using Xunit;

namespace Brivant.Tests
{
    // The checks read as they did: Expect.Throws(result, call, what) and the rest.
    internal static class Expect
    {
        internal static void True(bool condition, string what) => Assert.True(condition, what);

        internal static void Equal<T>(T expected, T actual, string what)
        {
            Assert.True(EqualityComparer<T>.Default.Equals(expected, actual),
                        what + ": expected " + expected + ", got " + actual);
        }

        internal static BrivantException Throws(Result result, Action call, string what)
        {
            BrivantException e = Assert.Throws<BrivantException>(call);
            Equal(result, e.Result, what);
            return e;
        }
    }

    public sealed class UnitTests
    {

        private static bool Running(Unit unit, int channel)
        {
            return (unit.ReadChannel(channel).Status & 1) == 1;
        }

        [Fact]
        public void DisposeAndCloseTwiceCloseOnce()
        {
            var first = new Unit(0);
            Expect.True(first.IsOpen, "open after construction");
            first.Dispose();
            Expect.True(!first.IsOpen, "closed after Dispose");
            using (var second = new Unit(0)) // would be AlreadyOpen had Dispose not closed
            {
                second.Run(0); // whatever another test left it at
                first.Dispose();
                first.Close();
                Expect.True(second.IsOpen, "the new owner is open");
                second.ReadCounts(); // a second close of ID 0 would make this NotOpen
                Expect.Throws(Result.NotOpen, () => first.ReadCounts(), "a disposed Unit");
                Expect.Throws(Result.NotOpen, () => first.Stop(0), "a disposed Unit");
                Expect.True(Running(second, 0), "the disposed Unit stopped the new owner's channel");
            }
        }

        // Kept out of line so that no reference to the Unit stays on the stack.
        [MethodImpl(MethodImplOptions.NoInlining)]
        private static void OpenAndForget(int id)
        {
            new Unit(id).ReadCounts();
        }

        [MethodImpl(MethodImplOptions.NoInlining)]
        private static void FailToOpen(int id)
        {
            Expect.Throws(Result.AlreadyOpen, () => new Unit(id), "opening an open ID");
        }

        private static void CollectGarbage()
        {
            for (int i = 0; i < 3; i++)
            {
                GC.Collect();
                GC.WaitForPendingFinalizers();
            }
        }

        [Fact]
        public void FinalizerClosesOnlyWhatItOwns()
        {
            OpenAndForget(5);
            CollectGarbage();
            using (var again = new Unit(5)) // AlreadyOpen if the forgotten Unit were not closed
            {
                // A Unit whose open failed is finalized too; it must not close
                // the unit that someone else holds.
                FailToOpen(5);
                CollectGarbage();
                again.ReadCounts();
            }
        }

        [Fact]
        public void LibraryRefusalsAreThrown()
        {
            BrivantException e = Expect.Throws(Result.IdNotFound, () => new Unit(9), "ID 9 is not present");
            Expect.Equal("unit 9: open: RC_ID_NOT_FOUND (6): no present unit reported this ID", e.Message, "message");
            Expect.Equal("RC_ID_NOT_FOUND", e.Name, "name");
            Expect.Equal(9L, e.UnitId, "unit ID");
            Expect.Throws(Result.BadId, () => new Unit(16), "ID 16");
            Expect.Throws(Result.BadId, () => new Unit(-1), "ID -1");
            using (var unit = new Unit(1))
            {
                Expect.Throws(Result.AlreadyOpen, () => new Unit(1), "ID 1 again");
                Expect.Throws(Result.BadParameter, () => unit.SelectMultiplier(0, 3), "multiplier 3");
                Expect.Throws(Result.BadParameter, () => unit.ReadChannel(3), "channel 3");
                e = Expect.Throws(Result.BadParameter, () => unit.SetInputInversion(0, 0, 0, 2), "setting 2");
                Expect.Equal("input inversion", e.Operation, "operation");
                unit.SelectClearEvent(2, 2);
            }
        }

        [Fact]
        public void EveryResultCodeMapsToItsException()
        {
            var codes = new Dictionary<short, string>
            {
                { 1, "RC_BAD_ID" }, { 3, "RC_ALREADY_OPEN" }, { 4, "RC_TOO_MANY_UNITS" },
                { 5, "RC_OPEN_FAILED" }, { 6, "RC_ID_NOT_FOUND" }, { 7, "RC_NOT_OPEN" },
                { 8, "RC_BAD_PARAMETER" }, { 9, "RC_COMM_FAILED" }, { 2, "RC_UNKNOWN" },
            };
            BrivantException.ThrowUnlessOk(0, 0, "nothing");
            foreach (KeyValuePair<short, string> code in codes)
            {
                try
                {
                    BrivantException.ThrowUnlessOk(code.Key, 3, "op");
                    Assert.Fail("code " + code.Key + " threw nothing");
                }
                catch (BrivantException e)
                {
                    Expect.Equal(code.Key, (short)e.Result, "the enum's value");
                    Expect.Equal(code.Value, e.Name, "the name of " + code.Key);
                    Expect.True(e.Message.StartsWith("unit 3: op: " + code.Value + " (" + code.Key + "): "), e.Message);
                    Expect.True(e.Message.Length > ("unit 3: op: " + code.Value + " (n): ").Length + 3, "a meaning follows");
                    Expect.Equal((int)code.Key, e.HResult, "the code as HResult");
                }
            }
        }

        [Fact]
        public void ValuesBeyondTheirCTypes()
        {
            // Cut down to short and byte these would be unit 5 and channel 0.
            BrivantException e = Expect.Throws(Result.BadId, () => new Unit(65541), "ID 65541");
            Expect.Equal(65541L, e.UnitId, "the ID as given");
            Expect.Throws(Result.BadId, () => new Unit(int.MinValue), "ID int.MinValue");
            using (var unit = new Unit(1))
            using (var five = new Unit(5)) // 65541 left unit 5 closed
            {
                unit.Run(0);
                Expect.Throws(Result.BadParameter, () => unit.Stop(256), "channel 256");
                Expect.Throws(Result.BadParameter, () => unit.Stop(-1), "channel -1");
                Expect.Throws(Result.BadParameter, () => unit.SetLimiter(0, 0, 257), "setting 257");
                Expect.Throws(Result.BadParameter, () => unit.WritePreset(0, 1L << 32, 0), "word 2^32");
                Expect.Throws(Result.BadParameter, () => unit.WritePreset(0, 0, int.MinValue - 1L), "word -2^31-1");
                Expect.True(Running(unit, 0), "channel 0 was stopped");
            }
        }

        [Fact]
        public void CountsAreDecoded()
        {
            using (var unit = new Unit(0))
            {
                for (int channel = 0; channel < 3; channel++)
                {
                    unit.Stop(channel);
                }
                // Channels 1 and 2 count in 24 bits: 0x800000 is their most negative count.
                unit.WritePreset(0, 0x800000, 0);
                unit.WritePreset(1, -256, 0);
                unit.WritePreset(2, 0x800000, 0);
                for (int channel = 0; channel < 3; channel++)
                {
                    unit.ForceClear(channel);
                }
                Counts counts = unit.ReadCounts();
                Expect.Equal(0x800000, counts.Values[0], "channel 0 (32-bit)");
                Expect.Equal(-256, counts.Values[1], "channel 1");
                Expect.Equal(-8388608, counts.Values[2], "channel 2");
                Expect.Equal((byte)0, counts.Status[1], "channel 1 stopped");
                unit.Run(2);
                Expect.Equal((byte)1, unit.ReadChannel(2).Status, "channel 2 running");
                ChannelCount one = unit.ReadChannel(1);
                Expect.Equal(-256, one.Count, "channel 1 alone");
                unit.WritePreset(0, uint.MaxValue, 0);
                unit.ForceClear(0);
                Expect.Equal(-1, unit.ReadChannel(0).Count, "channel 0 at 0xFFFFFFFF");
            }
        }
    
        [Fact]
        public void ListUnitsFindsThePresentIdsAndThoseHeldHere()
        {
            Assert.Equal(new[] { 0, 1, 5 }, Unit.ListUnits().ToArray());
            using (new Unit(1))
            {
                Assert.Equal(new[] { 0, 1, 5 }, Unit.ListUnits().ToArray());
            }
            new Unit(0).Dispose(); // ListUnits left nothing open
        }

        // Out-of-range values and wrong types never reach the unit: the
        // setting of a channel that was refused stays as it was.
        [Fact]
        public void RefusedValuesLeaveTheUnitAsItWas()
        {
            using (var unit = new Unit(0))
            {
                unit.Stop(2);
                unit.WritePreset(2, 7, 0);
                unit.ForceClear(2);
                Expect.Throws(Result.BadParameter, () => unit.WritePreset(2, 1L << 32, 0), "word 2^32");
                Expect.Throws(Result.BadParameter, () => unit.WritePreset(3, 1, 0), "channel 3");
                Expect.Throws(Result.BadParameter, () => unit.SetRunning(256, true), "channel 256");
                unit.ForceClear(2);
                Expect.Equal(7, unit.ReadChannel(2).Count, "the preset refused was not written");
                Expect.Equal((byte)0, unit.ReadChannel(2).Status, "channel 2 still stopped");
            }
        }
    }
}
