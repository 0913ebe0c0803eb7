// The 13 functions of brivant.h, with the exact C types: int16_t is short,
// uint8_t byte, int32_t* int[], uint32_t* uint[].
using System.Runtime.InteropServices;

namespace Brivant
{
    internal static class NativeMethods
    {
        // The runtime adds each system's prefix and suffix: brivant.dll, which
        // Windows matches to BRIVANT.dll, or libbrivant.so on Linux (real units
        // over USB, or the simulated ones with BRIVANT_BACKEND=sim). From the
        // package the file is in runtimes/RID/native/, which the runtime
        // searches by itself.
        private const string Library = "brivant";

        // Winapi is __stdcall in a 32-bit process and the one convention of a
        // 64-bit process, so the same declarations serve both DLLs.
        private const CallingConvention Convention = CallingConvention.Winapi;

        [DllImport(Library, CallingConvention = Convention)]
        internal static extern short Brivant_Device_Open(short id);

        [DllImport(Library, CallingConvention = Convention)]
        internal static extern void Brivant_Device_Close(short id);

        [DllImport(Library, CallingConvention = Convention)]
        internal static extern short Brivant_InputInverter(short id, byte channel, byte s1, byte s2, byte s3);

        [DllImport(Library, CallingConvention = Convention)]
        internal static extern short Brivant_OutputInverter(short id, byte channel, byte s1, byte s2);

        [DllImport(Library, CallingConvention = Convention)]
        internal static extern short Brivant_OutputMode(short id, byte channel, byte s1, byte s2);

        [DllImport(Library, CallingConvention = Convention)]
        internal static extern short Brivant_SelClearEvent(short id, byte channel, byte selection);

        [DllImport(Library, CallingConvention = Convention)]
        internal static extern short Brivant_SelMultiplier(short id, byte channel, byte selection);

        [DllImport(Library, CallingConvention = Convention)]
        internal static extern short Brivant_SetLimitter(short id, byte channel, byte s1, byte s2);

        [DllImport(Library, CallingConvention = Convention)]
        internal static extern short Brivant_ForcedClear(short id, byte channel);

        [DllImport(Library, CallingConvention = Convention)]
        internal static extern short Brivant_RunStop(short id, byte channel, byte run);

        [DllImport(Library, CallingConvention = Convention)]
        internal static extern short Brivant_WritePresetData(short id, byte channel, [In] uint[] data);

        [DllImport(Library, CallingConvention = Convention)]
        internal static extern short Brivant_ReadCount(short id, [Out] int[] counts, [Out] byte[] status);

        [DllImport(Library, CallingConvention = Convention)]
        internal static extern short Brivant_ReadCountCh(short id, byte channel, out int count, out byte status);
    }
}
