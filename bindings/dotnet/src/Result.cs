// The RC_* result codes of brivant.h, and their names and meanings.
namespace Brivant
{
    /// <summary>The result codes of the library's functions (RC_* in brivant.h).</summary>
    public enum Result : short
    {
        Ok = 0,
        BadId = 1,
        AlreadyOpen = 3,
        TooManyUnits = 4,
        OpenFailed = 5,
        IdNotFound = 6,
        NotOpen = 7,
        BadParameter = 8,
        CommFailed = 9,
    }

    /// <summary>The RC_* name and the plain meaning of each result code.</summary>
    public static class Results
    {
        private sealed class Entry
        {
            internal readonly Result Result;
            internal readonly string Name;
            internal readonly string Meaning;

            internal Entry(Result result, string name, string meaning)
            {
                Result = result;
                Name = name;
                Meaning = meaning;
            }
        }

        private static readonly Entry[] Table =
        {
            new Entry(Result.Ok, "RC_OK", "success"),
            new Entry(Result.BadId, "RC_BAD_ID", "open: unit ID outside 0 to 15"),
            new Entry(Result.AlreadyOpen, "RC_ALREADY_OPEN", "open: this ID is already open"),
            new Entry(Result.TooManyUnits, "RC_TOO_MANY_UNITS", "open: more than 16 units are present"),
            new Entry(Result.OpenFailed, "RC_OPEN_FAILED", "open: unit found, but its mutex, file or USB handle could not be had"),
            new Entry(Result.IdNotFound, "RC_ID_NOT_FOUND", "open: no present unit reported this ID"),
            new Entry(Result.NotOpen, "RC_NOT_OPEN", "counter function: this ID is not open (or is outside 0 to 15)"),
            new Entry(Result.BadParameter, "RC_BAD_PARAMETER", "counter function: channel or setting above its bound, or a null pointer"),
            new Entry(Result.CommFailed, "RC_COMM_FAILED", "counter function: the USB write or read failed, or a reply came short"),
        };

        private static Entry Find(Result result)
        {
            foreach (Entry entry in Table)
            {
                if (entry.Result == result)
                {
                    return entry;
                }
            }
            return null;
        }

        /// <summary>"RC_NOT_OPEN" for NotOpen; "RC_UNKNOWN" for a code the library never returns.</summary>
        public static string Name(Result result)
        {
            Entry entry = Find(result);
            return entry != null ? entry.Name : "RC_UNKNOWN";
        }

        /// <summary>What a result code means, in plain words.</summary>
        public static string Meaning(Result result)
        {
            Entry entry = Find(result);
            return entry != null ? entry.Meaning : "not a result code of this library";
        }
    }
}
