using System;
using System.Collections.Generic;
using System.Threading;

namespace Brivant
{
    /// <summary>
    /// One open counter unit: opens on construction, closes once on Dispose or
    /// Close (or, for a Unit never disposed, when the garbage collector
    /// finalizes it).
    /// </summary>
    /// <remarks>
    /// Every failure throws <see cref="BrivantException"/>. Arguments are ints
    /// and are checked against the C types before anything is sent: a unit ID
    /// outside short's range gives Result.BadId, a channel, setting or preset
    /// word outside its C type Result.BadParameter, as the library gives for
    /// the values it refuses itself. A closed Unit gives Result.NotOpen and
    /// sends nothing.
    /// </remarks>
    public sealed class Unit : IDisposable
    {
        private readonly short id;
        private int open; // 1 while this Unit holds its ID open; cleared exactly once

        /// <summary>Opens unit <paramref name="id"/> (0 to 15).</summary>
        public Unit(int id)
        {
            if (id < short.MinValue || id > short.MaxValue)
            {
                throw new BrivantException(Result.BadId, id, "open");
            }
            this.id = (short)id;
            // A constructor that throws still leaves an object to finalize:
            // `open` is set only once the unit is ours.
            BrivantException.ThrowUnlessOk(NativeMethods.Brivant_Device_Open(this.id), id, "open");
            open = 1;
        }

        /// <summary>
        /// The IDs of the units present, found by opening and closing each ID
        /// from 0 to 15. An ID this process holds open counts as present.
        /// </summary>
        /// <exception cref="BrivantException">More units are present than the
        /// library takes (Result.TooManyUnits).</exception>
        public static IReadOnlyList<int> ListUnits()
        {
            var found = new List<int>();
            for (short id = 0; id <= 15; id++)
            {
                short code = NativeMethods.Brivant_Device_Open(id);
                if (code == (short)Result.Ok)
                {
                    NativeMethods.Brivant_Device_Close(id);
                    found.Add(id);
                }
                else if (code == (short)Result.AlreadyOpen)
                {
                    found.Add(id);
                }
                else if (code == (short)Result.TooManyUnits)
                {
                    throw new BrivantException(Result.TooManyUnits, null, "list units");
                }
            }
            return found;
        }

        /// <summary>Closes a unit that was never disposed.</summary>
        ~Unit()
        {
            Close();
        }

        /// <summary>The unit ID.</summary>
        public int Id { get { return id; } }

        /// <summary>True until the unit is closed.</summary>
        public bool IsOpen { get { return Volatile.Read(ref open) == 1; } }

        /// <summary>Closes the unit; later calls do nothing. The unit keeps its settings and counts.</summary>
        public void Close()
        {
            if (Interlocked.Exchange(ref open, 0) == 1)
            {
                NativeMethods.Brivant_Device_Close(id);
            }
        }

        /// <summary>Closes the unit, as <see cref="Close"/>.</summary>
        public void Dispose()
        {
            Close();
            GC.SuppressFinalize(this);
        }

        /// <summary>Input inversion s1, s2, s3 (each 0 or 1) of a channel (0 to 2).</summary>
        public void SetInputInversion(int channel, int s1, int s2, int s3)
        {
            const string operation = "input inversion";
            Refuse(operation, IsByte(channel) && IsByte(s1) && IsByte(s2) && IsByte(s3));
            Check(NativeMethods.Brivant_InputInverter(id, (byte)channel, (byte)s1, (byte)s2, (byte)s3), operation);
        }

        /// <summary>Output inversion s1, s2 (each 0 or 1) of a channel.</summary>
        public void SetOutputInversion(int channel, int s1, int s2)
        {
            const string operation = "output inversion";
            Refuse(operation, IsByte(channel) && IsByte(s1) && IsByte(s2));
            Check(NativeMethods.Brivant_OutputInverter(id, (byte)channel, (byte)s1, (byte)s2), operation);
        }

        /// <summary>Output mode s1, s2 (each 0 or 1) of a channel.</summary>
        public void SetOutputMode(int channel, int s1, int s2)
        {
            const string operation = "output mode";
            Refuse(operation, IsByte(channel) && IsByte(s1) && IsByte(s2));
            Check(NativeMethods.Brivant_OutputMode(id, (byte)channel, (byte)s1, (byte)s2), operation);
        }

        /// <summary>Which event clears the channel's count (0 to 2).</summary>
        public void SelectClearEvent(int channel, int selection)
        {
            const string operation = "clear event";
            Refuse(operation, IsByte(channel) && IsByte(selection));
            Check(NativeMethods.Brivant_SelClearEvent(id, (byte)channel, (byte)selection), operation);
        }

        /// <summary>The channel's multiplier (0 to 2).</summary>
        public void SelectMultiplier(int channel, int selection)
        {
            const string operation = "multiplier";
            Refuse(operation, IsByte(channel) && IsByte(selection));
            Check(NativeMethods.Brivant_SelMultiplier(id, (byte)channel, (byte)selection), operation);
        }

        /// <summary>The channel's limiter s1, s2 (each 0 or 1).</summary>
        public void SetLimiter(int channel, int s1, int s2)
        {
            const string operation = "limiter";
            Refuse(operation, IsByte(channel) && IsByte(s1) && IsByte(s2));
            Check(NativeMethods.Brivant_SetLimitter(id, (byte)channel, (byte)s1, (byte)s2), operation);
        }

        /// <summary>Clears the channel's count now (to its first preset word).</summary>
        public void ForceClear(int channel)
        {
            const string operation = "forced clear";
            Refuse(operation, IsByte(channel));
            Check(NativeMethods.Brivant_ForcedClear(id, (byte)channel), operation);
        }

        /// <summary>Starts the channel's counting.</summary>
        public void Run(int channel)
        {
            SetRunning(channel, true);
        }

        /// <summary>Stops the channel's counting; its count holds.</summary>
        public void Stop(int channel)
        {
            SetRunning(channel, false);
        }

        /// <summary>Starts or stops the channel's counting.</summary>
        public void SetRunning(int channel, bool running)
        {
            string operation = running ? "run" : "stop";
            Refuse(operation, IsByte(channel));
            Check(NativeMethods.Brivant_RunStop(id, (byte)channel, (byte)(running ? 1 : 0)), operation);
        }

        /// <summary>
        /// Writes the channel's two preset words, each given as unsigned or as
        /// signed 32-bit (-256 is sent as 0xFFFFFF00).
        /// </summary>
        public void WritePreset(int channel, long first, long second)
        {
            const string operation = "preset";
            Refuse(operation, IsByte(channel) && IsWord(first) && IsWord(second));
            uint[] words = { (uint)(first & 0xFFFFFFFF), (uint)(second & 0xFFFFFFFF) };
            Check(NativeMethods.Brivant_WritePresetData(id, (byte)channel, words), operation);
        }

        /// <summary>The counts and status bytes of all three channels, in one exchange.</summary>
        public Counts ReadCounts()
        {
            const string operation = "read counts";
            Refuse(operation, true);
            var counts = new int[3];
            var status = new byte[3];
            Check(NativeMethods.Brivant_ReadCount(id, counts, status), operation);
            return new Counts(counts, status);
        }

        /// <summary>The count and status byte of one channel, in the same one exchange.</summary>
        public ChannelCount ReadChannel(int channel)
        {
            const string operation = "read count";
            Refuse(operation, IsByte(channel));
            int count;
            byte status;
            Check(NativeMethods.Brivant_ReadCountCh(id, (byte)channel, out count, out status), operation);
            return new ChannelCount(count, status);
        }

        /// <inheritdoc/>
        public override string ToString()
        {
            return "Brivant.Unit " + id + (IsOpen ? " open" : " closed");
        }

        private static bool IsByte(int value)
        {
            return value >= 0 && value <= byte.MaxValue;
        }

        private static bool IsWord(long value)
        {
            return value >= int.MinValue && value <= uint.MaxValue;
        }

        // The binding's own refusals, in the library's order: not open first
        // (its ID may be someone else's by now), then arguments.
        private void Refuse(string operation, bool argumentsFit)
        {
            if (!IsOpen)
            {
                throw new BrivantException(Result.NotOpen, id, operation);
            }
            if (!argumentsFit)
            {
                throw new BrivantException(Result.BadParameter, id, operation);
            }
        }

        private void Check(short code, string operation)
        {
            // Holds this Unit alive until the native call has returned, so that
            // the finalizer of a Unit used only once cannot close it mid-call.
            GC.KeepAlive(this);
            BrivantException.ThrowUnlessOk(code, id, operation);
        }
    }
}
