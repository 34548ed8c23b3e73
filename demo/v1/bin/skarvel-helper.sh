#!/bin/sh
echo "demo helper program"
