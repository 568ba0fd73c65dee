# End-to-end tests in the appliance VM (label "vm"): registered where QEMU is
# installed (scripts/install-deps vm). One VM serves them all: vm.boot starts
# it, vm.shutdown ends it, the checks in between share it one at a time.
find_program(VM_QEMU qemu-system-x86_64)
# The system's python3 first: a version manager's wrapper costs seconds per run.
find_program(VM_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(VM_PYTHON python3)
if(VM_QEMU AND VM_PYTHON AND TARGET usbdevsrv AND EXISTS ${CMAKE_SOURCE_DIR}/tools/CMakeLists.txt)
  set(_vm_driver ${CMAKE_CURRENT_LIST_DIR}/vmtest.py)
  set(_vm_args --source ${CMAKE_SOURCE_DIR} --state ${CMAKE_BINARY_DIR}/vm-test)
  set(_vm_common LABELS vm RESOURCE_LOCK appliance_vm SKIP_RETURN_CODE 77)

  add_test(NAME vm.boot COMMAND ${VM_PYTHON} ${_vm_driver} ${_vm_args}
           --program $<TARGET_FILE:usbdevsrv>
           --tool $<TARGET_FILE:vlan_probe> --tool $<TARGET_FILE:linkstate_probe> start)
  set_tests_properties(vm.boot PROPERTIES FIXTURES_SETUP appliance_vm TIMEOUT 400 ${_vm_common})

  # hotplug last: it changes the device set (and puts it back).
  foreach(_check banner usb-sysfs link-state vlan vlan-page forwards restart clock hotplug)
    add_test(NAME vm.${_check} COMMAND ${VM_PYTHON} ${_vm_driver} ${_vm_args} check ${_check})
    set_tests_properties(vm.${_check} PROPERTIES FIXTURES_REQUIRED appliance_vm TIMEOUT 240 ${_vm_common})
  endforeach()

  # The USB service's checks, with the client tools/vm_usbcheck on the host.
  foreach(_check device-list tls-list connect descriptors storage-inquiry storage-read-write storage-read-mapped interrupt-in unplug-gone)
    add_test(NAME vm.server.${_check} COMMAND ${VM_PYTHON} ${_vm_driver} ${_vm_args}
             --client $<TARGET_FILE:vm_usbcheck> server ${_check})
    set_tests_properties(vm.server.${_check} PROPERTIES FIXTURES_REQUIRED appliance_vm TIMEOUT 240 ${_vm_common})
  endforeach()

  add_test(NAME vm.shutdown COMMAND ${VM_PYTHON} ${_vm_driver} ${_vm_args} stop)
  set_tests_properties(vm.shutdown PROPERTIES FIXTURES_CLEANUP appliance_vm TIMEOUT 120 ${_vm_common})
endif()
