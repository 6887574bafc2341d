# Channel lists that test a host's parsing: conversion factors written with a
# decimal comma, an empty channel name, two channels with the same id, a
# negative data type, empty text fields and a type-12 line.
setup edge-cases
rate 1000
decimal-comma yes

channel number=3 name=Scaled unit=V path=1;1 kind=sync divider=4 type=int16
    scale1=0.001 offset1=-2.5 scale2=1.5 offset2=0.25 wave=sine amplitude=3
channel number=17 name="" unit= path=1;2 kind=sync divider=1 type=float64 wave=ramp min=-1 max=1 period=2
channel number=18 name=Twin unit=A path=1;3 kind=sync divider=10 type=float32 wave=constant value=1
channel number=19 name=TwinToo unit=A path=1;3 kind=sync divider=10 type=float32 wave=constant value=2
channel number=20 name=Negative unit= path=2;1 kind=sync divider=10 type=-3 wave=counter
channel number=21 name=Packed unit= path=2;2 kind=async rate=10 type=12 extra=0 wave=counter
channel number=22 name="Long name with blanks" unit="m/s²" path=3;1 kind=single rate=5 type=float64
    field0= field3= field4= field5= field7= wave=noise amplitude=1 seed=3
channel number=23 name=Output unit=% path=3;2 kind=single rate=1 type=float32 control=yes value=50
