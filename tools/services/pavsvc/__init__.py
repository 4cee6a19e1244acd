"""Bundled services of the Pavonix installer: update service, package server,
local invoice-control service stand-in."""
