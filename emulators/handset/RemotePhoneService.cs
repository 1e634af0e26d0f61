// Stand-in for the handset component: same assembly name, namespace and
// members as the component the tray application loads through pythonnet,
// but the "handset" is a small text file that tests and the demo rewrite.
//
// State file (first line only, surrounding blanks ignored):
//   idle | (empty) | (file missing)  -> no call, ActiveNumber == ""
//   ring <NUMBER>                    -> ActiveNumber == NUMBER
//   unreachable                      -> ActiveNumber throws
// A second line "delay <SECONDS>" makes every read take that long first (a
// component that blocks).
// Location: $HANDSET_STATE if set, else handset.state beside this assembly.

using System;
using System.IO;
using System.Reflection;
using System.Globalization;
using System.Text;
using System.Threading;

[assembly: AssemblyTitle("RemotePhoneService")]
[assembly: AssemblyVersion("1.0.0.0")]

namespace JustRemotePhone.RemotePhoneService
{
    public class HandsetUnreachableException : Exception
    {
        public HandsetUnreachableException(string message) : base(message) { }
    }

    public class Application
    {
        public const string StateFileName = "handset.state";
        public const string StateEnvironmentVariable = "HANDSET_STATE";

        private readonly string name;
        private readonly Phone phone;

        public Application(string name)
        {
            this.name = name ?? "";
            phone = new Phone(ResolveStatePath());
        }

        public string Name { get { return name; } }

        public Phone Phone { get { return phone; } }

        // The real component connects in the background; here there is
        // nothing to wait for, so the phone simply becomes readable.
        public void BeginConnect(bool autoReconnect)
        {
            phone.MarkConnected();
        }

        public static string ResolveStatePath()
        {
            string fromEnvironment = Environment.GetEnvironmentVariable(StateEnvironmentVariable);
            if (!String.IsNullOrEmpty(fromEnvironment))
                return fromEnvironment;
            string location = typeof(Application).Assembly.Location;
            string folder = String.IsNullOrEmpty(location)
                ? Directory.GetCurrentDirectory()
                : Path.GetDirectoryName(location);
            return Path.Combine(folder, StateFileName);
        }
    }

    public class Phone
    {
        private readonly string statePath;
        private volatile bool connected;

        internal Phone(string statePath)
        {
            this.statePath = statePath;
        }

        public string StatePath { get { return statePath; } }

        internal void MarkConnected()
        {
            connected = true;
        }

        // Read afresh on every access: the caller polls every couple of
        // seconds and the file is a few bytes, so no caching is needed.
        public string ActiveNumber
        {
            get
            {
                if (!connected)
                    throw new InvalidOperationException("BeginConnect has not been called");
                string[] lines = ReadLines();
                Delay(lines);
                return ParseState(lines[0]);
            }
        }

        private static void Delay(string[] lines)
        {
            if (lines.Length < 2 || !lines[1].StartsWith("delay ", StringComparison.Ordinal))
                return;
            double seconds;
            if (Double.TryParse(lines[1].Substring(6).Trim(), NumberStyles.Float, CultureInfo.InvariantCulture, out seconds) && seconds > 0)
                Thread.Sleep(TimeSpan.FromSeconds(seconds));
        }

        private string[] ReadLines()
        {
            string text;
            try
            {
                text = File.ReadAllText(statePath, Encoding.UTF8);
            }
            catch (FileNotFoundException)
            {
                return new string[] { "" };
            }
            catch (DirectoryNotFoundException)
            {
                return new string[] { "" };
            }
            string[] lines = text.Split(new char[] { '\n' });
            for (int i = 0; i < lines.Length; ++i)
                lines[i] = lines[i].Trim();
            return lines;
        }

        private static string ParseState(string line)
        {
            if (line.Length == 0 || line == "idle")
                return "";
            if (line == "unreachable")
                throw new HandsetUnreachableException("handset not reachable");
            if (line.StartsWith("ring ", StringComparison.Ordinal))
            {
                string number = line.Substring(5).Trim();
                if (number.Length > 0)
                    return number;
            }
            throw new InvalidDataException("unrecognised handset state: " + line);
        }
    }
}
