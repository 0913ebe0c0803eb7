// The RC_* result codes of brivant.h, and their names and meanings: a copy
// of its BRIVANT_RESULT_CODES table that tests/check_result_codes.py compares
// with the original.
namespace Brivant
{
    /// <summary>The result codes of the library's functions (RC_* in brivant.h).</summary>
    public enum Result : short
    {
        /// <summary>RC_OK: success.</summary>
        Ok = 0,
        /// <summary>RC_BAD_ID: the unit ID is outside 0 to 15.</summary>
        BadId = 1,
        /// <summary>RC_ALREADY_OPEN: this unit ID is already open in this process.</summary>
        AlreadyOpen = 3,
        /// <summary>RC_TOO_MANY_UNITS: more than 16 units are present.</summary>
        TooManyUnits = 4,
        /// <summary>RC_OPEN_FAILED: the unit was found but could not be opened.</summary>
        OpenFailed = 5,
        /// <summary>RC_ID_NOT_FOUND: no present unit reported this ID.</summary>
        IdNotFound = 6,
        /// <summary>RC_NOT_OPEN: the unit is not open.</summary>
        NotOpen = 7,
        /// <summary>RC_BAD_PARAMETER: a channel or setting is above its bound.</summary>
        BadParameter = 8,
        /// <summary>RC_COMM_FAILED: the transfer with the unit failed or its reply came short.</summary>
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
            new Entry(Result.BadId, "RC_BAD_ID", "the unit ID is outside 0 to 15"),
            new Entry(Result.AlreadyOpen, "RC_ALREADY_OPEN", "this unit ID is already open in this process"),
            new Entry(Result.TooManyUnits, "RC_TOO_MANY_UNITS", "more than 16 units are present"),
            new Entry(Result.OpenFailed, "RC_OPEN_FAILED", "the unit was found but its mutex, file or USB handle could not be had"),
            new Entry(Result.IdNotFound, "RC_ID_NOT_FOUND", "no present unit reported this ID"),
            new Entry(Result.NotOpen, "RC_NOT_OPEN", "the unit is not open"),
            new Entry(Result.BadParameter, "RC_BAD_PARAMETER", "a channel or setting is above its bound, or a pointer is null"),
            new Entry(Result.CommFailed, "RC_COMM_FAILED", "the USB transfer with the unit failed or its reply came short"),
        };

        private static Entry? Find(Result result)
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
            Entry? entry = Find(result);
            return entry != null ? entry.Name : "RC_UNKNOWN";
        }

        /// <summary>What a result code means, in plain words.</summary>
        public static string Meaning(Result result)
        {
            Entry? entry = Find(result);
            return entry != null ? entry.Meaning : "not a result code of this library";
        }
    }
}
