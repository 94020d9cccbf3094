// The simulated board's kernel LEDs: folders under /sys/class/leds in the
// sandbox with `brightness`, `max_brightness`, `trigger` and the active
// trigger's settings, whose text the board keeps as the kernel would
// (class_leds.h), so that anyone reads them as plain files. The calls that
// change them are the board's to answer, handed to it by the device filter
// (devices.cpp): an open for writing of one is answered with a descriptor
// the board opened (read-only underneath, so that only pwrite reaches the
// file, through the board), and pwrite and pread on such a file are
// answered from outside the caller's process, with their times. Each
// brightness write is reported as `led N V`, N the LED (of the settings'
// MOD_NORVASK_LED and MOD_NORVASK_LED2) whose descriptor wrote it.
#pragma once

#include <linux/seccomp.h>
#include <sys/types.h>

#include <cstdint>
#include <string>

// The board's default LEDs, served with their files given to `user` (as the
// daemon's devices are; -1: root's). 0, or -1 with a message.
int serve_default_leds(long user);

// "led-class NAME [MAX]": the LED is there, fresh (trigger none, brightness
// 0); one of that name already there is replaced, as a driver bound again,
// and descriptors of the old one fail with ENODEV. 0, or -1 with `error`.
int add_class_led(const std::string& name, std::uint32_t max_brightness, std::string& error);
// "led-class NAME gone": its folder goes, and its descriptors fail with ENODEV.
int remove_class_led(const std::string& name, std::string& error);
// "led-trigger NAME TRIGGER": another program sets the LED's trigger.
int set_class_led_trigger(const std::string& name, const std::string& trigger, std::string& error);

// Whether the filter hands over system call `nr` for the LEDs.
[[nodiscard]] bool is_led_file_call(long nr);
// Answers such a call, received from `listener` at board time `when`: on a
// file of the board's LEDs as the kernel would, any other as the kernel does.
void serve_led_file_call(int listener, const seccomp_notif& request, double when);
// Forgets what process `pid` opened (it has ended).
void forget_led_opens(pid_t pid);
