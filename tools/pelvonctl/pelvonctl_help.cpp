// The --help text: every command, its arguments and their units.
#include "pelvonctl_commands.h"

namespace pelvonctl {

std::string HelpText()
{
    return R"(Usage: pelvonctl [--dry-run] [--persist] COMMAND [ARGUMENTS]
       pelvonctl show

Sends settings to the running touch driver through its control device
\\.\pelvon. Settings last until the device is started again, which reads the
registry (HKLM\SYSTEM\CurrentControlSet\Services\pelvon\Parameters) anew;
without --persist pelvonctl writes nothing to the registry.

  --dry-run   print the control requests in hex instead of sending them
              (with --persist, also the registry values it would write)
  --persist   once the driver has taken the setting, also write it to the
              registry as the values the driver reads when its device
              starts, so that it lasts: calibration, reset-calibration and
              calibrate-points --send write Calibration; filter: Filter;
              click and click-tone: their part of Beep; buttons: ButtonMode;
              orientation: LTRB; monitor: the six monitor values and
              MultiMonitor 1 (monitor off: MultiMonitor 0); open-port NAME:
              PortName and BaudRate; set-port: PortName (at most 255
              characters). Needs an administrator.
  --help      this text

Numbers are decimal or hexadecimal with 0x. Exit code 0: done; 1: the driver
refused a request or could not be reached, or the registry could not be
read or written; 2: bad command line; 4: the output could not be written (a
full disk, a closed standard output), even if the requests were sent.

Registry
  show
      Print the settings the driver will start with, from the registry's
      Parameters values as the driver reads them: a value that is absent,
      or that the driver ignores (and why), is named with the default used.

Serial port
  open-port [NAME [--baud N]]
      Open the serial port NAME (e.g. COM2, at most 255 characters) at N bit/s
      (default 19200) and start reading it. Without NAME, open the port and
      speed the driver already holds (the registry's PortName and BaudRate).
      An open port is replaced.
  set-port NAME
      Store the port name NAME (at most 256 characters), close the current
      port and open NAME at the line speed the driver holds.
  close-port
      Close the port; the touch screen stops reporting.

Calibration: screen = scale * raw + offset per axis
  calibration [--invert-x] [--invert-y] [--scale-x S] [--scale-y S]
              [--offset-x N] [--offset-y N]
      raw is the controller position as a 16-bit value (12-bit position * 16,
      0..65520), screen is 0..65535 across the screen. S is a decimal
      0..65535.99998 (rounded to the nearest 1/65536) or, with 0x, the raw
      16.16 fixed-point value; default 1. N is a signed 32-bit offset in
      screen units; default 0. --invert-x negates scale * raw before the
      offset is added. Options left out take these defaults.
  reset-calibration
      Scale 1, offset 0, no inversion on both axes.
  calibrate-points RX,RY=SX,SY RX,RY=SX,SY ... [--orientation as-is|swapped]
                   [--send]
      Compute a calibration from two or more reference points by least
      squares per axis. RX,RY is the touched position as the controller
      reports it, 12-bit (0..4095); SX,SY is where the pointer should be,
      0..65535 across the screen (pixel * 65536 / screen width). Give the
      orientation the driver runs with (default as-is). Prints the
      calibration, its bytes, the equivalent calibration command and where
      each point will land; --send also sends it.

Smoothing filter: out = current * new + previous-input * last new
                        + previous-output * last out
  filter [--current W] [--previous-input W] [--previous-output W]
      Weights as decimals (0.5) rounded to the nearest 1/65536, or with 0x
      in 1/65536 (0x8000 = 0.5). current and previous-input are below 1
      (at most 0xFFFF), previous-output at most 65535.99998. Options left
      out take the defaults 0.5, 0.5 and 0. The weights should add up to 1.

Touch click (PC speaker)
  click on|off
      Click on touch-down, or not.
  click-tone (--hz F | --divisor N) --ms D
      Tone F in Hz (the timer divisor becomes round(1193182 / F), 1..65535,
      so F is about 18.3..1193182) or the divisor N itself; the click lasts
      D milliseconds. The tone is programmed at once.

Buttons
  buttons left|right|middle|N
      The button a touch presses. N is the raw mask 0..255: 1 left, 2 right,
      4 middle.

Screen mapping
  monitor OX OY W H PW PH
      Map the touch screen onto a monitor at origin OX,OY with size W x H
      inside a primary desktop of PW x PH (all in pixels, signed 32-bit;
      PW and PH not 0). Switches the mapping on.
  monitor off
      Switch the mapping off (the values are kept).
  orientation as-is|swapped
      as-is: controller X and Y go to screen X and Y (LTRB 1). swapped: the
      axes are exchanged and both reversed (LTRB 0).
  range A B C D
      Four unsigned 32-bit values the driver keeps (default 0 65535 0
      65535); nothing uses them at present.

Information
  info
      Show the controller's identification (zeros until the controller has
      reported it) and the driver's.
)";
}

} // namespace pelvonctl
