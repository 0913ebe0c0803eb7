using System.Reflection;
using System.Runtime.CompilerServices;

[assembly: AssemblyTitle("Brivant.Net")]
[assembly: AssemblyDescription(".NET binding of BRIVANT.dll, the USB counter unit library")]
[assembly: InternalsVisibleTo("Brivant.Net.Tests")]
