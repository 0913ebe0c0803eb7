using System.Collections.Generic;

namespace Brivant
{
    /// <summary>The counts and status bytes of the three channels; index k is channel k.</summary>
    public sealed class Counts
    {
        internal Counts(int[] values, byte[] status)
        {
            Values = values;
            Status = status;
        }

        /// <summary>
        /// The counts. Channel 0 is a 32-bit value; channels 1 and 2 are 24-bit
        /// signed values, negative below zero.
        /// </summary>
        public IReadOnlyList<int> Values { get; private set; }

        /// <summary>The status bytes; bit 0 is set while the channel runs.</summary>
        public IReadOnlyList<byte> Status { get; private set; }
    }

    /// <summary>The count and status byte of one channel.</summary>
    public struct ChannelCount
    {
        internal ChannelCount(int count, byte status)
        {
            Count = count;
            Status = status;
        }

        /// <summary>The count, as in <see cref="Counts.Values"/>.</summary>
        public int Count { get; private set; }

        /// <summary>The status byte; bit 0 is set while the channel runs.</summary>
        public byte Status { get; private set; }
    }
}
